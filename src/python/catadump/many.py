"""Many databases at once, as the program's collection form takes them: catadump.open_many and
catadump.read_frames.

The inputs are the program's own choice (the compiled part's find_inputs): files by name, folders searched
in name order without following links to folders, a file inside a folder taken when its content is a
database. A damaged, unreadable or fatal input never stops the others: its provenance says what went
wrong, as the program's summary does.
"""

import collections
import concurrent.futures
import os

from . import frames
from ._catadump import Error
from ._catadump import find_inputs as _find_inputs
from ._catadump import open as _open

Input = collections.namedtuple("Input", "source below in_folder problem")


def find_inputs(inputs):
    """The inputs of `inputs` (a path or a list of them: files, folders, "-" for standard input) in the
    order the program takes them, and the number of files passed over: (list of Input, skipped)."""
    if isinstance(inputs, (str, bytes, os.PathLike)):
        inputs = [inputs]
    found, skipped = _find_inputs([os.fsdecode(operand) for operand in inputs])
    return [Input(*item) for item in found], skipped


# The keys of an input's provenance, those of the program's summary lines, in their order.
PROVENANCE_KEYS = ("path", "size", "sha256", "mtime", "version", "header", "rows", "read_error", "corrupt",
                   "fatal", "status", "console", "dates_out_of_range")


def unread(source, problem):
    """The provenance of an input that could not be read at all."""
    return {"path": source, "size": 0, "sha256": None, "mtime": None, "version": None, "header": None,
            "rows": 0, "read_error": False, "corrupt": False, "fatal": None, "status": 2,
            "console": f"Error: {problem}\n", "dates_out_of_range": 0}


def open_input(item, threads, provenance=True, on_caller=False):
    """An input's database opened (with its provenance, unless not wanted), its entries carrying its source;
    or, where it cannot be opened, the provenance that says why. `on_caller`: converted on the calling thread
    by Database._fill_columns, with no thread of its own."""
    if item.problem is not None:
        return None, unread(item.source, item.problem)
    try:
        db = _open(0 if item.source == "-" else item.source, threads=threads, provenance=provenance,
                   _on_caller=on_caller)
    except OSError:
        return None, unread(item.source, f"Could not open {item.source} for reading.")
    db._source = item.source
    return db, None


class Collection:
    """catadump.open_many's: iterate it for the entries of every input in turn (each entry's `source` says
    which). `inputs` are the inputs found, `skipped` the files passed over, and `provenance` holds a dict an
    input as each one completes, in input order, with the keys of the program's summary."""

    def __init__(self, inputs, jobs=0, threads=0):
        self.inputs, self.skipped = find_inputs(inputs)
        self.provenance = []
        self._jobs = jobs if jobs > 0 else (os.cpu_count() or 1)
        self._threads = threads
        self._opened = collections.deque()  # (db or None, provenance of an unread input) in input order
        self._next = 0
        self._current = None  # the database being read
        self._closed = False

    def _open_ahead(self):
        # The inputs after the one being read are opened already, so that their conversions run meanwhile.
        while len(self._opened) < self._jobs and self._next < len(self.inputs):
            self._opened.append(open_input(self.inputs[self._next], self._threads))
            self._next += 1

    def __iter__(self):
        try:
            while True:
                self._open_ahead()
                if not self._opened:
                    return
                db, failed = self._opened.popleft()
                if db is None:
                    self.provenance.append(failed)
                    continue
                self._current = db
                with db:
                    try:
                        for entry in db:
                            yield entry
                            if self._closed:
                                return
                    except Error:
                        pass  # the provenance has the fatal line; the other inputs go on
                    self.provenance.append(self._provenance_of(db))
        finally:
            self.close()

    def _provenance_of(self, db):
        provenance = db.provenance
        provenance["path"] = db._source  # the path by which it was found ("-" for standard input too)
        return provenance

    def close(self):
        """Closes the input being read and those opened ahead; the entries end."""
        self._closed = True
        if self._current is not None:
            self._current.close()
            self._current = None
        while self._opened:
            db, _ = self._opened.popleft()
            if db is not None:
                db.close()
        self._next = len(self.inputs)

    def __enter__(self):
        return self

    def __exit__(self, *raised):
        self.close()
        return False


def open_many(inputs, jobs=0, threads=0):
    """The entries of many databases, input after input: see Collection. `jobs` inputs are converted at
    once (0: one a core); `threads` are each one's bzip2 workers, as catadump.open's."""
    return Collection(inputs, jobs, threads)


def frame_of(item, columns, sources, threads, provenance=True, part=0, parts=1, on_caller=False):
    """An input's frame in the form of a frame of many (see read_frames), and its provenance (None when not
    wanted: the bytes are then not hashed). Of a database split into `parts`, the entries of `part` (see
    Database._fill_columns); an input that cannot be read is an empty frame in each part."""
    db, failed = open_input(item, threads, provenance, on_caller)
    if db is None:
        return frames.many_frame(None, columns, sources, item.source), failed
    with db:
        filled = db._fill_columns(frames.mask_of(columns), part, parts)
        found = db.provenance if provenance else None
    if found is not None:
        found["path"] = item.source
    return frames.many_frame(filled, columns, sources, item.source, db.version), found


def read_frames(inputs, columns=None, jobs=0, threads=0):
    """The entries of many databases as one pandas DataFrame: a first column `source` (category, the
    inputs in their order), then the columns of catadump.read_frame, all of them whatever the version:
    where a version has no values its sizes and stored times are <NA> (they are pandas' nullable UInt64
    here) and its dates NaT. The rows of an input before a fatal condition are kept. attrs["provenance"]
    holds a dict an input with the keys of the program's summary; attrs["skipped"] the files passed over.
    `jobs` inputs are read at once (0: one a core)."""
    numpy, pandas = frames.numpy_and_pandas()
    found, skipped = find_inputs(inputs)
    names = frames.wanted(columns)
    sources = [item.source for item in found]
    workers = jobs if jobs > 0 else (os.cpu_count() or 1)
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        done = list(pool.map(lambda item: frame_of(item, names, sources, threads), found))
    parts = [frame for frame, _ in done] or [frames.many_frame(None, names, sources, None)]
    frame = pandas.concat(parts, ignore_index=True, copy=False)
    frame.attrs.update(provenance=[provenance for _, provenance in done], skipped=skipped)
    return frame
