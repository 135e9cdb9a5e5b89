"""catadump.dask: the entries of many databases as a Dask DataFrame, a partition a database.

    import catadump.dask
    frame = catadump.dask.read_databases(["/shared/collections"])
    frame.groupby("source").size().compute()

The inputs are found as the program's collection form finds them, on the machine that builds the graph;
each partition is read where Dask runs it, by path, so on a cluster every worker must reach the paths
(a shared file system) and import catadump. The frame's columns and types are those of
catadump.read_frames, declared up front: nothing is read to build the graph.

A partition is converted on the thread Dask runs it on, with no thread of the reader's own, so that a task
takes the one core Dask counts it for.
"""

import math
import os

import dask
import dask.dataframe
import dask.utils

from . import frames, many


def _partition(piece, names, sources, threads):
    item, part, parts = piece
    frame, _ = many.frame_of(item, names, sources, threads, provenance=False, part=part, parts=parts,
                             on_caller=True)  # provenance() has its own tasks
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


def _parts_of(item, blocksize):
    """How many partitions an input's entries are split into: one for each `blocksize` bytes of its file
    (wrapped or not), one for standard input and for a file whose size cannot be had here."""
    if blocksize is None or item.source == "-" or item.problem is not None:
        return 1
    try:
        size = os.stat(item.source).st_size
    except OSError:
        return 1  # its partition says what is wrong with it
    return max(1, min(math.ceil(size / blocksize), 1 << 20))


def read_databases(inputs, columns=None, threads=1, blocksize=None):
    """A Dask DataFrame of the entries of the databases in `inputs` (paths of files and folders), a
    partition a database, in input order; its columns those of catadump.read_frames (`source` first). The
    DataFrame's provenance() computes the per-input table (a pandas DataFrame with the keys of the
    program's summary, a row an input) with the same scheduler; its `skipped` is the number of files
    passed over.

    threads: the workers that decode a bzip2-wrapped database in a partition (0: one a core); 1 keeps a
    task to its one core.
    blocksize: None for a partition a database; else bytes (an int, or a text such as "64MB") of a
    database's file a partition, the entries split evenly by their index among ceil(size / blocksize)
    partitions, in order. Each such partition reads the database from its start to its last entry, so the
    parts cost more to read in all than the whole: split only what one worker could not hold."""
    names = frames.wanted(columns)
    found, skipped = many.find_inputs(inputs)
    sources = [item.source for item in found]
    meta = frames.many_frame(None, names, sources, None)
    if blocksize is not None:
        blocksize = dask.utils.parse_bytes(blocksize) if isinstance(blocksize, str) else int(blocksize)
        if blocksize <= 0:
            raise ValueError(f"blocksize takes a positive number of bytes, not {blocksize}")
    pieces = [(item, part, parts) for item in found for parts in [_parts_of(item, blocksize)]
              for part in range(parts)]
    if pieces:
        frame = dask.dataframe.from_map(_partition, pieces, names=names, sources=sources, threads=threads,
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
