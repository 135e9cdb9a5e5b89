"""The Python module gives the entries the program's list has, through every kind of source, and reports
damage, fatal conditions and failing reads as the program does. Needs CATAGEN, CATADUMP and PRINT_ENTRIES
(the C API printing the list's rows) in the environment and the built module on PYTHONPATH."""
import contextlib
import datetime
import io
import json
import os
import pathlib
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import catadump

CATAGEN = os.environ["CATAGEN"]
CATADUMP = os.environ["CATADUMP"]
PRINT_ENTRIES = os.environ["PRINT_ENTRIES"]
VERSIONS = ["1.6.6", "1.6.7", "1.7.5", "1.7.8", "1.7.17", "1.7.20"]
WITH_VALUES = {"1.7.17", "1.7.20"}
READ_ERROR_LINE = b"Error: Encounted atleast one read error"
CORRUPT_LINE = b"Error: database corrupt"
FILETIME_EPOCH = datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)


def generate(directory, name, *arguments):
    path = os.path.join(directory, name)
    subprocess.run([CATAGEN, *arguments, "--output", path], check=True, stdout=subprocess.DEVNULL)
    return path


def every_version(directory, seed, folders, files):
    """(version, kind, path) of a generated database of every version: raw, bzip2-wrapped and cut to two
    thirds."""
    for version in VERSIONS:
        shape = ["--version", version, "--synthetic", "--seed", seed, "--folders", folders, "--files", files]
        raw = generate(directory, version + ".db", *shape)
        data = pathlib.Path(raw).read_bytes()
        cut = os.path.join(directory, version + ".cut.db")
        pathlib.Path(cut).write_bytes(data[:len(data) * 2 // 3])
        yield version, "raw", raw
        yield version, "bzip2", generate(directory, version + ".bz2.db", *shape, "--bzip2")
        yield version, "cut", cut


def row(entry):
    """The entry as the qlx list's row, from the raw values."""
    if entry.size is None:
        values = b"%d" % entry.attributes
    else:
        values = b"%d,%d,%d,%d,%d" % (entry.size, entry.created_filetime, entry.modified_filetime,
                                      entry.accessed_filetime, entry.attributes)
    return b'"' + entry.path_bytes + b'",' + values + b"\r\n"


def read_all(source, **options):
    """The entries and the database, closed."""
    with catadump.open(source, **options) as db:
        entries = list(db)
    return entries, db


class ReadOnly:
    """A file object with read and no readinto."""

    def __init__(self, data):
        self.file = io.BytesIO(data)

    def read(self, size):
        return self.file.read(size)


class Trickle(io.RawIOBase):
    """Gives a few bytes a call, so the reader's thread keeps asking for the GIL."""

    def __init__(self, data):
        self.file = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self.file.readinto(memoryview(buffer)[:1000])


class Failing(io.RawIOBase):
    """Gives `good` bytes of the data, then raises."""

    class Gone(Exception):
        pass

    def __init__(self, data, good):
        self.data, self.position, self.good = data, 0, good

    def readable(self):
        return True

    def readinto(self, buffer):
        if self.position >= self.good:
            raise Failing.Gone("the disk went away")
        count = min(len(buffer), self.good - self.position)
        buffer[:count] = self.data[self.position:self.position + count]
        self.position += count
        return count


class Module(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.dir = self.directory.name

    def tearDown(self):
        self.directory.cleanup()

    def check_entries(self, entries, version):
        """What each entry says of itself agrees with its path and with the folders it names."""
        folders = {entry.folder: entry for entry in entries if entry.is_folder}
        self.assertEqual(len(folders), sum(entry.is_folder for entry in entries))
        for entry in entries:
            self.assertEqual(entry.path.encode("utf-8", "surrogateescape"), entry.path_bytes)
            self.assertEqual(entry.name.encode("utf-8", "surrogateescape"), entry.name_bytes)
            self.assertEqual(entry.is_folder, entry.folder is not None)
            if entry.parent is None:
                self.assertEqual(entry.path_bytes, entry.name_bytes)
            else:
                self.assertEqual(entry.path_bytes, folders[entry.parent].path_bytes + b"\\" + entry.name_bytes)
            if version in WITH_VALUES:
                self.assertIsInstance(entry.size, int)
                for name in ("created", "modified", "accessed"):
                    time_ = getattr(entry, name + "_filetime")
                    expected = FILETIME_EPOCH + datetime.timedelta(microseconds=time_ // 10) if time_ else None
                    self.assertEqual(getattr(entry, name), expected)
            else:
                self.assertEqual((entry.size, entry.created, entry.modified_filetime), (None, None, None))

    def test_every_version_whole_compressed_and_cut_against_the_list_and_the_c_api(self):
        for version, kind, path in every_version(self.dir, "3", "100", "1500"):
            with self.subTest(version=version, kind=kind):
                self.check_against_the_list(path, version, damaged=kind == "cut")

    def check_against_the_list(self, path, version, damaged):
        program = subprocess.run([CATADUMP, path, os.path.join(self.dir, "out.qlx")], capture_output=True)
        header, _, rows = pathlib.Path(self.dir, "out.qlx").read_bytes().partition(b"\r\n")
        self.assertEqual(subprocess.run([PRINT_ENTRIES, path], capture_output=True).stdout, rows)

        entries, db = read_all(path)
        self.assertEqual(b"".join(map(row, entries)), rows)
        self.check_entries(entries, version)
        self.assertEqual(db.version, version)
        self.assertEqual(db.header_line.encode(), header)
        self.assertTrue(db.recognised)
        self.assertEqual(db.read_error, READ_ERROR_LINE in program.stdout)
        self.assertEqual(db.corrupt, CORRUPT_LINE in program.stdout)
        self.assertEqual(db.read_error or db.corrupt, damaged)
        self.assertEqual(program.returncode == 0, not damaged)
        self.assertIn(db.console.encode(), program.stdout)
        self.assertIn(b"Conversion complete!", db.console.encode())

        data = pathlib.Path(path).read_bytes()
        with open(path, "rb") as file:
            fd = os.open(path, os.O_RDONLY)
            try:
                sources = [("open file", file), ("BytesIO", io.BytesIO(data)), ("read only", ReadOnly(data)),
                           ("memoryview", memoryview(bytearray(data))), ("fd", fd), ("PathLike", pathlib.Path(path)),
                           ("bytes path", os.fsencode(path))]
                for name, source in sources + [("data", None)]:
                    if source is None:
                        with catadump.open(data=data, threads=1) as other:
                            entries = list(other)
                    else:
                        entries, other = read_all(source)
                    self.assertEqual(b"".join(map(row, entries)), rows, name)
                    self.assertEqual((other.read_error, other.corrupt), (db.read_error, db.corrupt), name)
            finally:
                os.close(fd)

    def test_each_entry_has_the_status_the_programs_list_gives_it(self):
        # 300 bytes zeroed in the file records: the rows after them come back partial, as the program's do.
        whole = pathlib.Path(generate(self.dir, "a.db", "--version", "1.7.20", "--synthetic", "--folders", "20",
                                      "--files", "600")).read_bytes()
        at = len(whole) * 2 // 3
        path = os.path.join(self.dir, "damaged.db")
        pathlib.Path(path).write_bytes(whole[:at] + bytes(300) + whole[at + 300:])
        summary = os.path.join(self.dir, "summary.jsonl")
        listed = subprocess.run([CATADUMP, "--recover", "--format=jsonl", "--summary=" + summary, path],
                                capture_output=True)
        self.assertEqual(listed.returncode, 2)
        recovered, strict = read_all(path, recover=True)[0], read_all(path)[0]
        statuses = [entry.status for entry in recovered]
        self.assertEqual(statuses, [json.loads(line)["status"] for line in listed.stdout.splitlines()])
        self.assertEqual(statuses.index("partial"), statuses.count("intact"))  # the intact rows come first
        self.assertTrue(all("<?>" in entry.path for entry in recovered if entry.status == "partial"))
        self.assertGreater(len(recovered), len(strict))
        with open(summary, encoding="utf-8") as file:
            line = json.loads(file.read())
        counts = [statuses.count("intact"), statuses.count("recovered"), statuses.count("partial"), 1]
        self.assertEqual([line["rows_intact"], line["rows_recovered"], line["rows_partial"], line["gaps"]], counts)
        # The sqlite file: the same statuses in its rows, and the same totals in its sources row.
        listed = os.path.join(self.dir, "list.sqlite")
        subprocess.run([CATADUMP, "--recover", "--format=sqlite", path, listed], capture_output=True)
        with contextlib.closing(sqlite3.connect(listed)) as db:
            self.assertEqual([status for (status,) in db.execute("SELECT status FROM entries ORDER BY id")], statuses)
            self.assertEqual(list(db.execute("SELECT rows_intact, rows_recovered, rows_partial, gaps FROM sources")),
                             [tuple(counts)])
        self.assertEqual({entry.status for entry in strict}, {"intact"})

    def test_a_directory_with_known_times_and_a_name_that_is_not_utf8(self):
        tree = os.path.join(self.dir, "tree")
        os.mkdir(tree)
        name = b"caf\xe9 \xff.txt"
        file = os.path.join(os.fsencode(tree), name)
        pathlib.Path(os.fsdecode(file)).write_bytes(b"twelve bytes")
        modified_ns = 1614834367_891234567  # 2021-03-04 05:06:07.891234567 UTC
        os.utime(file, ns=(modified_ns + 10**9, modified_ns))
        entries, _ = read_all(generate(self.dir, "tree.db", "--version", "1.7.20", "--from-dir", tree))
        entry = next(entry for entry in entries if not entry.is_folder)
        self.assertEqual(entry.name_bytes, name)
        self.assertTrue(entry.path_bytes.endswith(b"\\" + name))
        self.assertEqual(entry.path.encode("utf-8", "surrogateescape"), entry.path_bytes)
        self.assertEqual(entry.name, os.fsdecode(name))
        self.assertEqual(entry.size, 12)
        self.assertEqual(entry.modified_filetime, (modified_ns // 10**9 + 11644473600) * 10**7 + 8912345)
        self.assertEqual(entry.modified, datetime.datetime(2021, 3, 4, 5, 6, 7, 891234, datetime.timezone.utc))
        self.assertEqual(entry.accessed, datetime.datetime(2021, 3, 4, 5, 6, 8, 891234, datetime.timezone.utc))
        self.assertIn("caf", repr(entry))

        # Without the date fields the dates are 0, and None as datetimes.
        entries, _ = read_all(generate(self.dir, "nodates.db", "--version", "1.7.20", "--synthetic",
                                       "--flags", "0x31"))
        self.assertTrue(entries and all(entry.created is None and entry.modified_filetime == 0
                                        and entry.size is not None for entry in entries))

    def test_a_fatal_condition_raises_error_with_its_line(self):
        data = pathlib.Path(generate(self.dir, "fatal.db", "--version", "1.7.8", "--synthetic", "--filesystems",
                                     "1", "--fs-types", "1")).read_bytes()
        at = data.index(b"\\\\host0\\") - 1  # the path's length, a one-byte count
        path = os.path.join(self.dir, "bad.db")
        pathlib.Path(path).write_bytes(data[:at] + b"\xff" * 5 + data[at + 1:])  # the long form of 2**32-1
        program = subprocess.run([CATADUMP, path, os.path.join(self.dir, "bad.qlx")], capture_output=True)
        self.assertIn(b"bad string size -1", program.stdout + program.stderr)
        self.assertEqual(program.returncode, 1)
        for source in ({"source": path}, {"data": pathlib.Path(path).read_bytes()}):
            with catadump.open(**source) as db:
                with self.assertRaises(catadump.Error) as raised:
                    list(db)
            self.assertEqual(str(raised.exception), "bad string size -1")
        self.assertTrue(issubclass(catadump.Error, Exception))

    def test_an_exception_of_a_read_is_raised_again(self):
        data = pathlib.Path(generate(self.dir, "r.db", "--version", "1.7.20", "--synthetic", "--files",
                                     "20000")).read_bytes()
        # From __next__ once the entries end, after those the bytes held.
        with catadump.open(Failing(data, len(data) // 2)) as db:
            entries = []
            with self.assertRaises(Failing.Gone) as raised:
                for entry in db:
                    entries.append(entry)
            self.assertTrue(db.read_error)
        self.assertIn("the disk went away", str(raised.exception))
        self.assertTrue(entries)
        # From close when nobody iterated: the conversion's first read fails.
        with self.assertRaises(Failing.Gone):
            with catadump.open(Failing(data, 0)):
                pass
        # Neither read nor readinto gives bytes.
        with catadump.open(io.StringIO("text")) as db:
            with self.assertRaises(TypeError):
                list(db)

    def test_open_close_and_early_close(self):
        with self.assertRaises(FileNotFoundError):
            catadump.open(os.path.join(self.dir, "absent.db"))
        with self.assertRaises(IsADirectoryError):
            catadump.open(self.dir)
        with self.assertRaises(TypeError):
            catadump.open(2.5)
        entries, db = read_all(bytearray(b"not a database at all"))
        self.assertEqual((entries, db.recognised, db.version), ([], False, None))

        path = generate(self.dir, "big.db", "--version", "1.7.20", "--synthetic", "--folders", "2000", "--files",
                        "400000")
        data = pathlib.Path(path).read_bytes()
        start = time.perf_counter()
        read_all(path)
        whole = time.perf_counter() - start
        for source in (path, io.BytesIO(data), Trickle(data)):
            start = time.perf_counter()
            db = catadump.open(source)
            next(db)
            db.close()  # the conversion stops; with a file object its thread may be waiting for the GIL
            if source is path:
                self.assertLess((time.perf_counter() - start) * 4, whole)
            else:  # a file object's own position says it was not read to its end
                file = source if isinstance(source, io.BytesIO) else source.file
                self.assertLess(file.tell(), len(data) // 2)
            db.close()
            self.assertTrue(db.closed)
            with self.assertRaises(ValueError):
                next(db)
            with self.assertRaises(ValueError):
                iter(db)

    def test_two_databases_at_once_on_two_threads(self):
        shape = ["--synthetic", "--folders", "500", "--files", "30000"]
        sources = [generate(self.dir, "a.db", "--version", "1.7.20", *shape, "--bzip2"),
                   io.BytesIO(pathlib.Path(generate(self.dir, "b.db", "--version", "1.6.7", *shape)).read_bytes())]
        alone = [b"".join(map(row, read_all(sources[0])[0])), b"".join(map(row, read_all(sources[1])[0]))]
        sources[1].seek(0)
        together = [None, None]

        def iterate(index):
            together[index] = b"".join(map(row, read_all(sources[index])[0]))

        threads = [threading.Thread(target=iterate, args=(index,)) for index in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(together, alone)


def program_summary(directory, *operands):
    """The program's collection form over the operands: its summary lines (as dicts) and its console."""
    summary, listing = os.path.join(directory, "summary.jsonl"), os.path.join(directory, "list.csv")
    run = subprocess.run([CATADUMP, "--format=csv", "--summary=" + summary, "-o", listing, *operands],
                         capture_output=True)
    with open(summary, encoding="utf-8") as lines:
        return [json.loads(line) for line in lines], run.stderr + run.stdout


def provenance_of(source, **options):
    """The provenance once the entries are read (a fatal condition ends them too)."""
    with catadump.open(source, **options) as db:
        try:
            list(db)
        except catadump.Error:
            pass
        return db.provenance


def without_path(summary, mtime=None):
    """The summary line as a source with no path has it: no path, no line that names it, no mtime."""
    console = summary["console"].partition(" opened for reading...\n")[2]
    return dict(summary, path=None, mtime=mtime, console=console)


class Provenance(unittest.TestCase):
    """Database.provenance is the program's summary line of the same source; find_inputs its inputs."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.dir = self.directory.name

    def tearDown(self):
        self.directory.cleanup()

    def databases(self):
        """(name, path) of every version raw and bzip2-wrapped, cut short, fatal, with bytes past its end,
        and text that is no database."""
        found = []
        for version in VERSIONS:
            shape = ["--version", version, "--synthetic", "--folders", "50", "--files", "400"]
            found.append((version, generate(self.dir, version + ".db", *shape)))
            found.append((version + " bzip2", generate(self.dir, version + ".bz2.db", *shape, "--bzip2")))
        data = pathlib.Path(found[-1][1]).read_bytes()
        raw = pathlib.Path(found[-2][1]).read_bytes()
        extra = [("bzip2 cut short", data[:len(data) // 2]), ("raw cut short", raw[:len(raw) // 2]),
                 ("bytes past its end", raw + os.urandom(1 << 20)), ("no database", b"only text\n")]
        fatal = pathlib.Path(generate(self.dir, "f.db", "--version", "1.7.8", "--synthetic", "--filesystems", "1",
                                      "--fs-types", "1")).read_bytes()
        at = fatal.index(b"\\\\host0\\") - 1  # the path's length, a one-byte count
        extra.append(("fatal", fatal[:at] + b"\xff" * 5 + fatal[at + 1:]))
        for name, content in extra:
            path = os.path.join(self.dir, name.replace(" ", "-") + ".db")
            pathlib.Path(path).write_bytes(content)
            found.append((name, path))
        return found

    def test_the_provenance_is_the_programs_summary_line(self):
        databases = self.databases()
        summaries, console = program_summary(self.dir, *(path for _, path in databases))
        self.assertEqual(len(summaries), len(databases), console)
        for (name, path), summary in zip(databases, summaries):
            with self.subTest(name):
                self.assertEqual(summary["path"], path)
                self.assertEqual(provenance_of(path, provenance=True), summary)
                self.assertEqual(provenance_of(pathlib.Path(path), provenance=True, threads=1), summary)
                self.assertEqual(provenance_of(os.fsencode(path), provenance=True), summary)
                data = pathlib.Path(path).read_bytes()
                fd = os.open(path, os.O_RDONLY)
                try:  # a descriptor of a regular file has its modification time, but no path
                    self.assertEqual(provenance_of(fd, provenance=True), without_path(summary, summary["mtime"]))
                finally:
                    os.close(fd)
                for source in (io.BytesIO(data), Trickle(data)):
                    self.assertEqual(provenance_of(source, provenance=True), without_path(summary))
                with catadump.open(data=data, provenance=True) as db:
                    try:
                        list(db)
                    except catadump.Error:
                        self.assertEqual(name, "fatal")
                self.assertEqual(db.provenance, without_path(summary))  # kept once closed
                # Without provenance=True nothing is counted or hashed, and no time looked up.
                self.assertEqual(provenance_of(path), dict(summary, size=0, sha256=None, mtime=None))
        statuses = {name: summary["status"] for (name, _), summary in zip(databases, summaries)}
        self.assertEqual((statuses["1.7.20"], statuses["raw cut short"], statuses["fatal"]), (0, 2, 1))

    def test_modification_times_as_the_summary_writes_them(self):
        path = generate(self.dir, "t.db", "--version", "1.6.6", "--synthetic", "--files", "10")
        for ns in (-2**31 * 10**9, -100, 0, 951827696_123456700, 4107542400 * 10**9, 13574563200 * 10**9 - 1):
            with self.subTest(ns=ns):
                os.utime(path, ns=(ns, ns))
                [summary], _ = program_summary(self.dir, path)
                self.assertEqual(provenance_of(path, provenance=True)["mtime"], summary["mtime"])
        os.utime(path, ns=(0, 951827696_123456700))
        self.assertEqual(provenance_of(path, provenance=True)["mtime"], "2000-02-29T12:34:56.1234567Z")

    def test_asked_for_before_the_end_after_the_close_and_of_a_failing_read(self):
        path = generate(self.dir, "p.db", "--version", "1.7.20", "--synthetic", "--files", "20000")
        db = catadump.open(path, provenance=True)
        with self.assertRaisesRegex(ValueError, "not all read"):
            db.provenance
        next(db)
        time.sleep(0.05)  # the conversion has ended by now; the entries are not all read
        with self.assertRaisesRegex(ValueError, "not all read"):
            db.provenance
        rows = 1 + len(list(db))
        kept = db.provenance
        db.close()
        self.assertEqual(db.provenance, kept)  # kept through the close, a new dict each time
        db.provenance["rows"] = -1
        self.assertEqual(db.provenance["rows"], rows)
        db = catadump.open(path, provenance=True)
        next(db)
        db.close()
        with self.assertRaisesRegex(ValueError, "not all read"):
            db.provenance

        # A read that fails leaves no hash, and reports the bytes it had.
        data = pathlib.Path(path).read_bytes()
        with catadump.open(Failing(data, len(data) // 2), provenance=True) as db:
            with self.assertRaises(Failing.Gone):
                list(db)
            got = db.provenance
        self.assertEqual((got["sha256"], got["size"], got["read_error"], got["status"]),
                         (None, len(data) // 2, True, 2))

    def test_find_inputs_are_the_programs_inputs(self):
        top = pathlib.Path(self.dir, "top")
        for folder in ("a", "b/deeper", "empty"):
            (top / folder).mkdir(parents=True)
        for number, version in enumerate(VERSIONS):
            folder = top / ("a" if number % 2 else "b/deeper")
            for suffix, extra in ((".db", []), (".db.bz2", ["--bzip2"])):
                generate(folder, version + suffix, "--version", version, "--synthetic", "--files", "20", *extra)
        (top / "b/notes.txt").write_bytes(b"not a database\n")
        os.symlink("..", top / "b/up")
        os.symlink("nowhere", top / "b/broken")
        os.mkfifo(top / "a/pipe")
        odd = os.path.join(os.fsencode(top), b"caf\xe9 \xff.db")
        pathlib.Path(os.fsdecode(odd)).write_bytes(pathlib.Path(top / "a/1.6.7.db").read_bytes())
        operands = [str(top), os.fsencode(top / "b/notes.txt"), top / "absent.db", "-"]
        inputs, skipped = catadump._catadump.find_inputs(operands)
        program = subprocess.run([CATADUMP, "--format=csv", "-o", os.path.join(self.dir, "all.csv"),
                                  *map(os.fsencode, operands)], capture_output=True, stdin=subprocess.DEVNULL)
        lines = (program.stderr + program.stdout).split(b"\n")[:-1]
        self.assertEqual([os.fsencode(source) for source, *_ in inputs],
                         [line.partition(b": ")[0] for line in lines[:-1]], program)
        self.assertTrue(lines[-1].endswith(b", %d files skipped" % skipped), lines[-1])
        self.assertEqual(skipped, 3)  # the text file, the broken link and the pipe
        self.assertIn((os.fsdecode(odd), os.fsdecode(b"caf\xe9 \xff.db"), True, None), inputs)
        self.assertEqual(inputs[-3:], [(os.fsdecode(os.fsencode(top / "b/notes.txt")), "notes.txt", False, None),
                                       (str(top / "absent.db"), "absent.db", False, None), ("-", "stdin", False, None)])
        self.assertEqual(inputs[0], (str(top / "a/1.6.7.db"), "a/1.6.7.db", True, None))
        self.assertEqual(catadump._catadump.find_inputs([]), ([], 0))
        self.assertRaises(TypeError, catadump._catadump.find_inputs, 12)
        self.assertRaises(TypeError, catadump._catadump.find_inputs, str(top))
        self.assertRaises(TypeError, catadump._catadump.find_inputs, [str(top), 12])
        self.assertRaises(ValueError, catadump._catadump.find_inputs, [str(top) + "\0"])


# The misuse cases, each run by a Python of its own (see test_misuse_ends_in_an_exception_or_works), which
# defines DB (a raw database's path), BZ (the same bzip2-wrapped), OLD (one of a version without values),
# ROWS (DB's rows as row() gives them) and the helpers below. A case ends quietly when the module behaved.
MISUSE_PRELUDE = r"""
import io, os, signal, sys, threading, time
import catadump
from test_catadump import row
DB, BZ, OLD = sys.argv[1:4]
DATA = open(DB, "rb").read()
with catadump.open(DB) as db:
    ROWS = b"".join(map(row, db))

def rows(db):
    return b"".join(map(row, db))

def raises(kind, function, *arguments, **keywords):
    try:
        function(*arguments, **keywords)
    except kind as error:
        return error
    raise AssertionError("%s did not raise %s" % (function, kind.__name__))

# A file object over DATA, 1000 bytes a call, that runs on_call(self, buffer) on call `at`, once `ready`
# is set (at once unless `wait`).
class Calls(io.RawIOBase):
    def __init__(self, at=0, on_call=None, wait=False):
        self.file, self.calls, self.at, self.on_call = io.BytesIO(DATA), 0, at, on_call
        self.ready = threading.Event()
        if not wait:
            self.ready.set()
    def readable(self):
        return True
    def readinto(self, buffer):
        self.calls += 1
        if self.calls == self.at:
            self.ready.wait()
            self.on_call(self, buffer)
        return self.file.readinto(memoryview(buffer)[:1000])

# Writes the data to a pipe in pieces, with pauses, then closes it.
def feed(fd, data, pause=0.002):
    for at in range(0, len(data), 65536):
        os.write(fd, data[at:at + 65536])
        time.sleep(pause)
    os.close(fd)
"""

MISUSE_CASES = {
    # The buffer readinto is given is Python's own: a view of it kept after the call keeps what it read,
    # whatever the reader's memory holds since.
    "a view of the buffer kept by readinto": r"""
kept = []
with catadump.open(Calls(1, lambda self, buffer: kept.append(memoryview(buffer)[0:16]))) as db:
    assert rows(db) == ROWS
for _ in range(3):
    list(catadump.open(data=bytes(1 << 22)))
assert bytes(kept[0]) == DATA[:16], bytes(kept[0])
""",
    # readinto may not shrink, or claim more than, the buffer it was given, nor answer what is no count.
    "readinto answering wrongly": r"""
class Answer(Calls):
    def __init__(self, answer):
        super().__init__()
        self.answer = answer
    def readinto(self, buffer):
        return self.answer(buffer)
def shrink(buffer):
    buffer.clear()
    return 10
for answer, kind in ((lambda b: len(b) + 1, ValueError), (lambda b: -1, ValueError), (lambda b: "ten", TypeError),
                     (shrink, ValueError)):
    with catadump.open(Answer(answer)) as db:
        raises(kind, list, db)
        assert db.read_error and not db.recognised
""",
    "read answering wrongly": r"""
class Read:
    def __init__(self, answer):
        self.answer = answer
    def read(self, size):
        return self.answer(size)
def fail(size):
    raise OSError("gone")
for answer, kind in ((lambda n: b"x" * (n + 1), ValueError), (lambda n: 12, TypeError), (fail, OSError)):
    with catadump.open(Read(answer)) as db:
        raises(kind, list, db)
""",
    # close from the file object's own read raises there; the read's exception then ends the iteration.
    "close from readinto, next waiting": r"""
source = Calls(3, lambda self, buffer: self.db.close(), wait=True)
db = source.db = catadump.open(source)
source.ready.set()
raises(RuntimeError, list, db)
db.close()
""",
    "close from readinto, next not running": r"""
source = Calls(3, lambda self, buffer: self.db.close(), wait=True)
db = source.db = catadump.open(source)
source.ready.set()
time.sleep(0.3)  # the reader's thread reads ahead meanwhile
error = raises(RuntimeError, list, db)
assert "own file object" in str(error), error
db.close()
assert source.calls == 3
""",
    # The last reference goes in the reader's own read: the database is closed there, and read no more.
    "the last reference dropped in readinto": r"""
def drop(self, buffer):
    self.db = None
source = Calls(3, drop, wait=True)
source.db = catadump.open(source)
source.ready.set()
time.sleep(0.3)
assert source.db is None and source.calls == 3, source.calls
""",
    "close on an idle pipe": r"""
r, w = os.pipe()
for source in (r, os.fdopen(os.dup(r), "rb", buffering=0)):
    if not isinstance(source, int):
        os.set_blocking(source.fileno(), False)
    db = catadump.open(source)
    time.sleep(0.05)
    start = time.monotonic()
    db.close()
    assert time.monotonic() - start < 1, time.monotonic() - start
""",
    "SIGINT while next waits for an idle pipe": r"""
r, w = os.pipe()
db = catadump.open(r)
sent = []
def interrupt():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Timer(0.2, interrupt).start()
raises(KeyboardInterrupt, next, db)
# Raised within a slice of the wait (20 ms) on an idle machine; the bound leaves room for a loaded one. Were
# the wait not in slices, nothing would be raised before the pipe ends.
assert time.monotonic() - sent[0] < 1, time.monotonic() - sent[0]
os.close(w)
assert list(db) == [] and not db.recognised  # still usable after the interrupt
db.close()
""",
    # A non-blocking source is waited for, through its descriptor or, without one, in pauses.
    "non-blocking sources": r"""
r, w = os.pipe()
os.set_blocking(r, False)
threading.Thread(target=feed, args=(w, DATA)).start()
with catadump.open(os.fdopen(r, "rb", buffering=0)) as db:
    assert rows(db) == ROWS
class Late:
    def __init__(self):
        self.file, self.calls = io.BytesIO(DATA), 0
    def read(self, size):
        self.calls += 1
        return None if self.calls % 3 else self.file.read(size)
class LateInto(io.RawIOBase):  # fileno raises, as io's base class has it
    def __init__(self, fileno=None):
        self.file, self.calls, self.number = io.BytesIO(DATA), 0, fileno
    def readinto(self, buffer):
        self.calls += 1
        return None if self.calls % 2 else self.file.readinto(buffer)
    def fileno(self):
        return super().fileno() if self.number is None else self.number
for source in (Late(), LateInto(), LateInto(-1), LateInto(2**40)):
    with catadump.open(source) as db:
        assert rows(db) == ROWS
""",
    # Bytes are a path, as in os; the database's own bytes are data=.
    "bytes paths and data": r"""
for source in ({"source": os.fsencode(DB)}, {"data": DATA}, {"data": bytearray(DATA)}, {"source": memoryview(DATA)}):
    with catadump.open(**source) as db:
        assert rows(db) == ROWS, source.keys()
raises(FileNotFoundError, catadump.open, os.fsencode(DB) + b".absent")
raises(TypeError, catadump.open)
raises(TypeError, catadump.open, DB, data=DATA)
raises(TypeError, catadump.open, data=12)
raises(TypeError, catadump.open, True)
raises(TypeError, catadump.open, DB, 0, 1)
raises(ValueError, catadump.open, -1)
raises(ValueError, catadump.open, 2**40)
raises(OverflowError, catadump.open, 2**70)
raises(ValueError, catadump.open, DB + "\0")
raises(ValueError, catadump.open, os.fsencode(DB) + b"\0")
raises(BufferError, catadump.open, data=memoryview(DATA)[::2])
class Broken:  # an attribute that fails otherwise than by being absent
    def __init__(self, broken):
        object.__setattr__(self, "broken", broken)
    def __getattribute__(self, name):
        if name == object.__getattribute__(self, "broken"):
            raise RuntimeError(name)
        return object.__getattribute__(self, name)
    def read(self, size):
        return b""
for name in ("readinto", "read", "fileno"):
    raises(RuntimeError, catadump.open, Broken(name))
""",
    "thread counts": r"""
for threads in (1025, -1, 2**70):
    raises((ValueError, OverflowError), catadump.open, BZ, threads=threads)
raises(TypeError, catadump.open, BZ, threads="4")
with catadump.open(BZ, threads=1024) as db:
    assert rows(db) == ROWS
""",
    # One call at a time: next or close while next waits on another thread is refused.
    "calls while next waits on another thread": r"""
r, w = os.pipe()
db = catadump.open(r)
waiting = threading.Thread(target=lambda: list(db))
waiting.start()
time.sleep(0.1)
raises(RuntimeError, next, db)
raises(RuntimeError, db.close)
os.close(w)
waiting.join()
db.close()
""",
    # Out of descriptors: the one the reader needs to wake its reads cannot be made.
    "out of descriptors": r"""
import errno, resource
resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
kept = []
try:
    while True:
        kept.append(os.open(os.devnull, os.O_RDONLY))
except OSError:
    pass
assert raises(OSError, catadump.open, kept[0]).errno == errno.EMFILE
assert raises(OSError, catadump.open, DB).errno == errno.EMFILE
for fd in kept:
    os.close(fd)
""",
    # What a database says of itself before its end, at its end and once closed.
    "the report and repr before and after close": r"""
db = catadump.open(DB)
assert repr(db).endswith("open>") and not db.closed
first = next(db)
assert db.version == "1.7.20" and db.header_line.startswith("Filename")
assert repr(db).endswith("open>") and " size=" in repr(first) and first.name is first.name
rest = list(db)
assert repr(db).endswith("ended>") and db.recognised and "Conversion complete!" in db.console
raises(StopIteration, next, db)
report = (db.version, db.header_line, db.console, db.read_error, db.corrupt, db.recognised)
with db:
    pass
assert db.closed and repr(db) == "<catadump.Database version 1.7.20, closed>"
assert (db.version, db.header_line, db.console, db.read_error, db.corrupt, db.recognised) == report
raises(ValueError, db.__enter__)
raises(ValueError, next, db)
db.close()
with catadump.open(OLD) as db:  # a version without values
    assert all(" size=" not in repr(entry) for entry in db)
""",
}


# The cases where a fault would touch memory that is no longer the module's (a view of the reader's buffer, a
# database freed inside its own read): the module's memory is watched there, so that such a fault fails even
# where it happens not to crash. Python allocates from the system then, which the watch sees.
MEMORY_CASES = {"a view of the buffer kept by readinto", "the last reference dropped in readinto",
                "close from readinto, next waiting", "close from readinto, next not running"}
MEMCHECK = ["env", "PYTHONMALLOC=malloc", "valgrind", "--quiet", "--error-exitcode=99"]


class Misuse(unittest.TestCase):
    def test_misuse_ends_in_an_exception_or_works(self):
        with tempfile.TemporaryDirectory() as directory:
            shape = ["--version", "1.7.20", "--synthetic", "--folders", "200", "--files", "6000"]
            databases = [generate(directory, "m.db", *shape), generate(directory, "m.bz2.db", *shape, "--bzip2"),
                         generate(directory, "old.db", "--version", "1.6.6", "--synthetic", "--files", "50")]
            environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
                [os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")]))
            for name, case in MISUSE_CASES.items():
                command, timeout = [sys.executable, "-c", MISUSE_PRELUDE + case, *databases], 30
                if name in MEMORY_CASES:
                    command, timeout = MEMCHECK + command, 120
                with self.subTest(name):
                    try:
                        run = subprocess.run(command, capture_output=True, env=environment, timeout=timeout)
                    except subprocess.TimeoutExpired:
                        self.fail("did not end within %d s" % timeout)
                    self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace")[-3000:])


if __name__ == "__main__":
    unittest.main()
