"""catadump.read_frame against the program's csv list, read by Python's csv module: every version, whole,
bzip2-wrapped and cut short; the ISO dates of the list against the frame's datetimes; the report in attrs.
Needs CATAGEN and CATADUMP in the environment, the built package on PYTHONPATH, pandas and NumPy."""
import csv
import datetime
import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

import catadump
from test_catadump import CORRUPT_LINE, READ_ERROR_LINE, WITH_VALUES, every_version, generate

CATADUMP = os.environ["CATADUMP"]
EPOCH_1601 = datetime.datetime(1601, 1, 1)
TICKS_1601_TO_1970 = 116444736000000000
DATES = ("created", "modified", "accessed")


def ticks_of(text):
    """A list's ISO date (2021-03-04T05:06:07.8912345Z) as 100 ns ticks since 1601."""
    whole, fraction = text.rstrip("Z").split(".")
    seconds = datetime.datetime.fromisoformat(whole) - EPOCH_1601
    return (seconds.days * 86400 + seconds.seconds) * 10**7 + int(fraction)


class Frames(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.dir = self.directory.name

    def tearDown(self):
        self.directory.cleanup()

    def test_every_version_whole_compressed_and_cut_against_the_csv_list(self):
        for version, kind, path in every_version(self.dir, "5", "60", "900"):
            with self.subTest(version=version, kind=kind):
                self.check_against_the_list(path, version)
        # Dates that do not fit a frame's nanoseconds (a file modified in 2400), and none at all.
        tree = os.path.join(self.dir, "tree")
        os.makedirs(os.path.join(tree, "sub"))
        late = os.path.join(tree, "sub", "late.txt")
        pathlib.Path(late).write_bytes(b"late")
        os.utime(late, (datetime.datetime(2020, 1, 2).timestamp(), datetime.datetime(2400, 1, 2).timestamp()))
        for kind, shape in (("a date past 2262", ["--from-dir", tree]),
                            ("no dates", ["--synthetic", "--flags", "0x31"])):
            with self.subTest(version="1.7.20", kind=kind):
                self.check_against_the_list(generate(self.dir, "dates.db", "--version", "1.7.20", *shape), "1.7.20")

    def check_against_the_list(self, path, version):
        listed = os.path.join(self.dir, "list.csv")
        program = subprocess.run([CATADUMP, "--format=csv", path, listed], capture_output=True)
        with open(listed, newline="", encoding="utf-8", errors="surrogateescape") as file:
            rows = list(csv.DictReader(file))
        frame = catadump.read_frame(path)
        values = version in WITH_VALUES
        expected = ["path", "name", "type", "folder", "parent"] + (
            ["size", *DATES, *(date + "_filetime" for date in DATES)] if values else []) + ["attributes"]
        self.assertEqual(list(frame.columns), expected)
        self.assertEqual(len(frame), len(rows))
        self.assertEqual(frame["path"].tolist(), [row["Path"] for row in rows])
        self.assertEqual(frame["type"].astype(str).tolist(), [row["Type"] for row in rows])
        self.assertEqual(frame["attributes"].tolist(), [int(row["Attributes"]) for row in rows])
        # The name ends the path; the parent is a folder of the frame whose path is the rest.
        folders = dict(zip(frame["folder"], frame["path"]))
        for path_, name, parent in zip(frame["path"], frame["name"], frame["parent"]):
            self.assertEqual(path_, name if parent == -1 else folders[parent] + "\\" + name)
        if values:
            self.assertEqual(frame["size"].tolist(), [int(row["Size"]) for row in rows])
            for date in DATES:
                stored = frame[date + "_filetime"].tolist()
                times = frame[date].tolist()  # Timestamps in UTC, NaT where there is none
                for text, filetime, time in zip((row[date.capitalize()] for row in rows), stored, times):
                    if not text:
                        self.assertEqual(filetime, 0)
                    elif text.isdigit():  # beyond the years the list writes as dates
                        self.assertEqual(filetime, int(text))
                    else:
                        self.assertEqual(filetime, ticks_of(text), text)
                    nanoseconds = (filetime - TICKS_1601_TO_1970) * 100
                    if filetime == 0 or not -2**63 < nanoseconds < 2**63:
                        self.assertIs(time, catadump_nat(), (text, filetime))
                    else:
                        self.assertEqual(time.value, nanoseconds, text)
                        self.assertEqual(str(time.tz), "UTC")
        # Split into three by the entries' index, read on the reader's thread and on this one: the parts in
        # order are the list, and no part is all of it.
        for on_caller in (False, True):
            parts = []
            for part in range(3):
                with catadump.open(path, _on_caller=on_caller) as db:
                    parts.append(db._fill_columns(1, part, 3)["path"])
            self.assertEqual(sum(parts, []), frame["path"].tolist(), on_caller)
            self.assertLess(max(map(len, parts)), max(len(rows), 3))
        # The report, as the program printed it.
        attrs = frame.attrs
        self.assertEqual(attrs["version"], version)
        self.assertEqual(attrs["read_error"], READ_ERROR_LINE in program.stdout)
        self.assertEqual(attrs["corrupt"], CORRUPT_LINE in program.stdout)
        self.assertIn(attrs["console"].encode(), program.stdout)
        self.assertTrue(attrs["console"].endswith("Conversion complete!\n"))
        self.assertEqual(attrs["sha256"], hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest())

    def test_columns_asked_for_and_a_fatal_condition(self):
        path = generate(self.dir, "a.db", "--version", "1.7.20", "--synthetic", "--folders", "5", "--files", "20")
        frame = catadump.read_frame(path, columns=["size", "path"], threads=1)
        self.assertEqual(list(frame.columns), ["path", "size"])
        self.assertEqual(list(catadump.read_frame(path, columns="type").columns), ["type"])
        old = generate(self.dir, "b.db", "--version", "1.6.7", "--synthetic", "--folders", "5", "--files", "20")
        self.assertEqual(list(catadump.read_frame(old, columns=["path", "modified"]).columns), ["path"])
        with self.assertRaisesRegex(ValueError, "no column 'owner'"):
            catadump.read_frame(path, columns=["path", "owner"])
        data = bytearray(pathlib.Path(generate(self.dir, "fatal.db", "--version", "1.7.8", "--synthetic",
                                               "--filesystems", "1", "--fs-types", "1")).read_bytes())
        at = data.index(b"\\\\host0\\") - 1  # the path's length, a one-byte count
        data[at:at + 1] = b"\xff" * 5  # the long form of 2**32-1
        with self.assertRaisesRegex(catadump.Error, "^bad string size -1$"):
            catadump.read_frame(memoryview(data))
        with catadump.open(memoryview(data), _on_caller=True) as db:
            self.assertEqual(db._fill_columns(1), {"path": [], "_fatal": "bad string size -1"})
        with catadump.open(path, _on_caller=True) as db, self.assertRaisesRegex(TypeError, "_fill_columns"):
            next(iter(db))

    def test_recover_ends_the_frame_with_a_status_column(self):
        path = generate(self.dir, "a.db", "--version", "1.7.20", "--synthetic", "--folders", "10", "--files", "200")
        strict, frame = catadump.read_frame(path), catadump.read_frame(path, recover=True)
        self.assertEqual(list(frame.columns), list(strict.columns) + ["status"])
        self.assertEqual(list(frame["status"].cat.categories), ["intact", "recovered", "partial"])
        self.assertEqual(set(frame["status"]), {"intact"})
        self.assertTrue(frame.drop(columns="status").equals(strict))
        # Damaged, the frame's statuses are the entries' (the library's batches carry them).
        data = pathlib.Path(path).read_bytes()
        damaged = memoryview(data[:len(data) // 2] + bytes(200) + data[len(data) // 2 + 200:])
        with catadump.open(damaged, recover=True) as db:
            statuses = [entry.status for entry in db]
        self.assertIn("partial", statuses)
        self.assertEqual(catadump.read_frame(damaged, recover=True)["status"].tolist(), statuses)
        asked = catadump.read_frame(path, columns=["status", "path"], recover=True)
        self.assertEqual(list(asked.columns), ["path", "status"])
        with self.assertRaisesRegex(ValueError, "recover=True"):
            catadump.read_frame(path, columns="status")

    def test_the_package_imports_without_pandas_and_says_what_is_missing(self):
        script = ("import sys; sys.modules['pandas'] = None\n"
                  "import catadump\n"
                  "try:\n"
                  "    catadump.read_frame(sys.argv[1])\n"
                  "except ImportError as error:\n"
                  "    print(error)\n")
        path = generate(self.dir, "a.db", "--version", "1.7.20", "--synthetic", "--folders", "5", "--files", "20")
        done = subprocess.run([sys.executable, "-c", script, path], capture_output=True, text=True, check=True)
        self.assertIn("pandas", done.stdout)
        self.assertIn("python3-pandas", done.stdout)


def catadump_nat():
    import pandas
    return pandas.NaT


if __name__ == "__main__":
    unittest.main()
