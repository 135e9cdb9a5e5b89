"""catadump.dask: the entries of many databases as a Dask DataFrame, a partition a database.

    import catadump.dask
    frame = catadump.dask.read_databases(["/shared/collections"])
    frame.groupby("source").size().compute()

The inputs are found as the program's collection form finds them, on the machine that builds the graph;
each partition is read where Dask runs it, by path, so on a cluster every worker must reach the paths
(a shared file system) and import catadump. The frame's columns and types are those of
catadump.read_frames, declared up front: nothing is read to build the graph.
"""

import dask
import dask.dataframe

from . import frames, many


def _partition(item, names, sources, threads):
    frame, _ = many.frame_of(item, names, sources, threads, provenance=False)  # provenance() has its own tasks
    return frame


def _provenance(item, threads):
    db, failed = many.open_input(item, threads)
    if db is None:
        return failed
    with db:
        db._fill_columns(0)  # the entries read and let go: only the counts and the hash are wanted
        provenance = db.provenance
    provenance["path"] = item.source
    return provenance


def read_databases(inputs, columns=None, threads=0):
    """A Dask DataFrame of the entries of the databases in `inputs` (paths of files and folders), a
    partition a database, in input order; its columns those of catadump.read_frames (`source` first). The
    DataFrame's provenance() computes the per-input table (a pandas DataFrame with the keys of the
    program's summary, a row an input) with the same scheduler; its `skipped` is the number of files
    passed over."""
    names = frames.wanted(columns)
    found, skipped = many.find_inputs(inputs)
    sources = [item.source for item in found]
    meta = frames.many_frame(None, names, sources, None)
    if found:
        frame = dask.dataframe.from_map(_partition, found, names=names, sources=sources, threads=threads,
                                        meta=meta, enforce_metadata=False, label="catadump")
    else:
        frame = dask.dataframe.from_pandas(meta, npartitions=1)

    def provenance():
        import pandas

        rows = dask.compute(*[dask.delayed(_provenance)(item, threads) for item in found])
        return pandas.DataFrame(list(rows), columns=list(many.PROVENANCE_KEYS))

    frame.provenance = provenance
    frame.skipped = skipped
    return frame
