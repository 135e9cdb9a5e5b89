"""Many databases from Python against the program's collection form over the same folder tree (every
version, whole and bzip2-wrapped, a cut one, a fatal one, a text file, a link back up): catadump.open_many,
catadump.read_frames, and catadump.dask on a local cluster of two worker processes, each against the
program's csv list read by Python's csv module and its summary read by Python's json. Needs CATAGEN and
CATADUMP in the environment, the built package on PYTHONPATH, pandas, Dask and its scheduler."""
import collections
import csv
import datetime
import json
import os
import pathlib
import subprocess
import tempfile
import unittest

import catadump
from test_catadump import VERSIONS, generate

CATADUMP = os.environ["CATADUMP"]


def make_tree(top):
    """The tree of test_catadump's collection: hosts/a and hosts/b/deeper."""
    for index, version in enumerate(VERSIONS):
        host = os.path.join(top, "hosts", "a" if index % 2 else os.path.join("b", "deeper"))
        os.makedirs(host, exist_ok=True)
        shape = ["--version", version, "--synthetic", "--seed", str(index + 1), "--folders", "30", "--files", "300"]
        generate(host, version + ".db", *shape)
        generate(host, version + ".packed", *shape, "--bzip2")
    whole = pathlib.Path(generate(top, "whole.db", "--version", "1.7.20", "--synthetic", "--seed", "9")).read_bytes()
    pathlib.Path(top, "hosts", "b", "cut.db").write_bytes(whole[:len(whole) // 2])
    os.remove(os.path.join(top, "whole.db"))
    fatal = bytearray(pathlib.Path(generate(top, "f.db", "--version", "1.7.8", "--synthetic", "--filesystems", "1",
                                            "--fs-types", "1")).read_bytes())
    at = fatal.index(b"\\\\host0\\") - 1  # the path's length, a one-byte count
    fatal[at:at + 1] = b"\xff" * 5
    pathlib.Path(top, "hosts", "b", "fatal.db").write_bytes(fatal)
    os.remove(os.path.join(top, "f.db"))
    pathlib.Path(top, "hosts", "b", "notes.txt").write_text("not a database\n")
    os.symlink("..", os.path.join(top, "hosts", "b", "up"))


class Many(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.top = cls.directory.name
        make_tree(cls.top)
        cls.hosts = os.path.join(cls.top, "hosts")
        listed, summary = os.path.join(cls.top, "all.csv"), os.path.join(cls.top, "summary.jsonl")
        program = subprocess.run([CATADUMP, "--format=csv", "--summary=" + summary, "-o", listed, cls.hosts],
                                 capture_output=True, text=True)
        assert program.returncode == 2, program.stderr  # the cut and the fatal database report errors
        with open(listed, newline="", encoding="utf-8", errors="surrogateescape") as file:
            cls.rows = list(csv.DictReader(file))
        with open(summary, encoding="utf-8") as file:
            cls.summary = [json.loads(line) for line in file]
        cls.sources = [line["path"] for line in cls.summary]

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def assertProvenance(self, provenance):
        """Each input's provenance is the summary's line; its console the conversion's own lines, which the
        program's console for the input holds among its own."""
        self.assertEqual(len(provenance), len(self.summary))
        for got, line in zip(provenance, self.summary):
            got, line = dict(got), dict(line)
            self.assertIn(got.pop("console"), line.pop("console"))
            self.assertEqual(got, line)

    def test_open_many_gives_each_source_its_rows_and_the_summary(self):
        for jobs in (1, 3):
            with self.subTest(jobs=jobs), catadump.open_many([self.hosts], jobs=jobs) as many:
                got = [(entry.source, entry.path) for entry in many]
                self.assertEqual(got, [(row["Source"], row["Path"]) for row in self.rows])
                self.assertProvenance(many.provenance)
                self.assertEqual([item.source for item in many.inputs], self.sources)
                self.assertEqual(many.skipped, 1)  # the text file
        # Stopped early, the inputs opened ahead are closed, and nothing more comes.
        many = catadump.open_many(self.hosts, jobs=4)
        entries = iter(many)
        next(entries)
        many.close()
        self.assertEqual(list(entries), [])

    def test_read_frames_equals_the_list_and_holds_the_summary(self):
        frame = catadump.read_frames([self.hosts], jobs=2)
        self.assertEqual(frame["source"].cat.categories.tolist(), self.sources)
        self.assertEqual(list(zip(frame["source"], frame["path"])), [(row["Source"], row["Path"]) for row in self.rows])
        sizes = [None if size is catadump_na() else size for size in frame["size"].tolist()]
        self.assertEqual(sizes, [int(row["Size"]) if row["Size"] else None for row in self.rows])
        self.assertProvenance(frame.attrs["provenance"])
        self.assertEqual(frame.attrs["skipped"], 1)

    def test_dask_on_a_local_cluster_answers_as_the_list(self):
        from dask.distributed import Client, LocalCluster

        import catadump.dask

        # The same three questions of the list: rows per source, the largest files, files changed in 2024.
        per_source = collections.Counter(row["Source"] for row in self.rows)
        files = [row for row in self.rows if row["Type"] == "file" and row["Size"]]
        largest = sorted(((int(row["Size"]), row["Source"], row["Path"]) for row in files), reverse=True)[:5]
        since, until = datetime.datetime(2024, 1, 1), datetime.datetime(2025, 1, 1)
        changed = sorted((row["Source"], row["Path"]) for row in files
                         if row["Modified"] and since <= datetime.datetime.fromisoformat(row["Modified"][:19]) < until)
        self.assertTrue(changed)

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster):
            frame = catadump.dask.read_databases([self.hosts])
            self.assertEqual(frame.npartitions, len(self.sources))
            counts = frame.groupby("source", observed=True).size().compute()
            self.assertEqual({source: count for source, count in counts.items() if count}, dict(per_source))
            top = frame[frame["type"] == "file"].nlargest(5, "size").compute()
            self.assertEqual([int(size) for size in top["size"]], [size for size, _, _ in largest])
            modified = frame["modified"]
            kept = frame[(frame["type"] == "file") & (modified >= "2024-01-01T00:00:00Z")
                         & (modified < "2025-01-01T00:00:00Z")].compute()
            self.assertEqual(sorted(zip(kept["source"], kept["path"])), changed)
            self.assertProvenance(frame.provenance().to_dict("records"))
            # Split by a block size, the partitions in order are still the list's rows.
            split = catadump.dask.read_databases([self.hosts], columns=["path"], blocksize="4kB")
            self.assertGreater(split.npartitions, len(self.sources))
            got = split.compute()
            self.assertEqual(list(zip(got["source"], got["path"])), [(row["Source"], row["Path"]) for row in self.rows])


def catadump_na():
    import pandas
    return pandas.NA


if __name__ == "__main__":
    unittest.main()
