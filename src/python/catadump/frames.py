"""Data frames of databases: catadump.read_frame.

The columns are made by the compiled part without a Python object per number (Database._fill_columns):
each numeric column arrives as a bytearray that NumPy views as it is, and pandas takes those arrays. pandas
and NumPy are needed only here: the package imports without them.
"""

from ._catadump import Error
from ._catadump import open as _open

# The columns in the frame's order; each numeric one with the NumPy type of its bytes.
COLUMNS = ("path", "name", "type", "folder", "parent", "size", "created", "modified", "accessed",
           "created_filetime", "modified_filetime", "accessed_filetime", "attributes")
_NUMBERS = {"folder": "<i8", "parent": "<i8", "size": "<u8", "created_filetime": "<u8",
            "modified_filetime": "<u8", "accessed_filetime": "<u8", "attributes": "<u4"}
_DATES = ("created", "modified", "accessed")
# What only the versions with values (sizes and dates) have.
_VALUES = frozenset(("size",) + _DATES + ("created_filetime", "modified_filetime", "accessed_filetime"))
_VERSIONS_WITH_VALUES = frozenset(("1.7.17", "1.7.20"))
# The last column of a frame read with recover=True, after every column above (Database._fill_columns's bit
# after theirs): each row's status, in the order of their codes.
_STATUS_BIT = 1 << len(COLUMNS)
_STATUSES = ("intact", "recovered", "partial")


def numpy_and_pandas():
    try:
        import numpy
        import pandas
    except ImportError as missing:
        raise ImportError(
            f"catadump's data frames need pandas and NumPy, and {missing.name} is missing "
            "(on Debian: apt-get install python3-pandas)") from missing
    return numpy, pandas


def wanted(columns):
    if columns is None:
        return COLUMNS
    if isinstance(columns, str):
        columns = (columns,)
    asked = list(columns)
    unknown = [name for name in asked if name not in COLUMNS]
    if unknown:
        raise ValueError(f"no column {', '.join(map(repr, unknown))}; the columns are {', '.join(COLUMNS)}")
    return [name for name in COLUMNS if name in asked]


def mask_of(names):
    """The columns' bits, as Database._fill_columns takes them."""
    return sum(1 << COLUMNS.index(name) for name in names)


def _column(numpy, pandas, name, filled):
    if name in ("path", "name"):
        return numpy.array(filled, dtype=object)
    if name == "type":
        return pandas.Categorical.from_codes(numpy.frombuffer(filled, dtype="i1"), categories=["folder", "file"])
    if name in _DATES:
        # Nanoseconds since 1970 UTC, the least int64 where there is no date: NaT.
        return pandas.arrays.DatetimeArray(numpy.frombuffer(filled, dtype="M8[ns]"),
                                           dtype=pandas.DatetimeTZDtype(tz="UTC"))
    return numpy.frombuffer(filled, dtype=_NUMBERS[name])


def read_frame(source, columns=None, threads=0, recover=False):
    """The database's entries as a pandas DataFrame, a row an entry in the list's order.

    source: as catadump.open takes it (a path, a file descriptor, a binary file object, a buffer).
    columns: the names of the columns wanted (None: every one the version has): path and name (str, as
    Entry.path and Entry.name), type (category: folder, file), folder (the folder's index, -1 for a file),
    parent (the index of the folder it is in, -1 at the top), and where the version has values size
    (uint64), created, modified and accessed (UTC datetimes, NaT for no date or one outside 1677-2262),
    created_filetime, modified_filetime and accessed_filetime (uint64, the stored numbers), attributes
    (uint32). A column asked for that the version does not have is left out.
    threads: the workers that decode a bzip2-wrapped database, as catadump.open's.
    recover: go on past damage, as catadump.open's; the frame then ends with a column status (category:
    intact, recovered, partial), whatever `columns` names.

    The report is in DataFrame.attrs: version, header_line, read_error, corrupt, console, and sha256 (of
    every byte of the database, read to its end also where the conversion stopped early). A fatal
    condition raises catadump.Error, as iterating the database does.
    """
    numpy, pandas = numpy_and_pandas()
    if columns is not None:
        columns = [columns] if isinstance(columns, str) else list(columns)
        if "status" in columns and not recover:
            raise ValueError("the column 'status' comes with recover=True")
        columns = [name for name in columns if name != "status"]
    names = wanted(columns)
    mask = mask_of(names) | (_STATUS_BIT if recover else 0)
    with _open(source, threads=threads, provenance=True, recover=recover) as db:
        filled = db._fill_columns(mask)
        sha256 = db.provenance["sha256"]
    if "_fatal" in filled:
        raise Error(filled["_fatal"])
    report = {"version": db.version, "header_line": db.header_line, "read_error": db.read_error,
              "corrupt": db.corrupt, "console": db.console, "sha256": sha256}
    values = report["version"] in _VERSIONS_WITH_VALUES
    data = {}
    for name in names:
        column = filled.pop(name)  # each bytearray or list let go as soon as its column is made
        if name in _VALUES and not values:
            continue
        data[name] = _column(numpy, pandas, name, column)
        del column
    if recover:
        data["status"] = pandas.Categorical.from_codes(numpy.frombuffer(filled.pop("status"), dtype="i1"),
                                                       categories=list(_STATUSES))
    frame = pandas.DataFrame(data, copy=False)
    frame.attrs.update(report)
    return frame


_WIDTHS = {"type": 1, "folder": 8, "parent": 8, "size": 8, "created": 8, "modified": 8, "accessed": 8,
           "created_filetime": 8, "modified_filetime": 8, "accessed_filetime": 8, "attributes": 4}


def _rows_of(filled, names):
    name = names[0]
    return len(filled[name]) // _WIDTHS.get(name, 1)


def many_frame(filled, names, sources, source, version=None):
    """A frame in the form frames of many inputs share (catadump.read_frames, catadump.dask): a first column
    `source` (category of every input, in input order), then every column named, whatever the version:
    sizes and stored times as nullable UInt64, <NA> where the version has no values, dates NaT there.
    `filled` is what Database._fill_columns gave (None for an input that could not be read)."""
    numpy, pandas = numpy_and_pandas()
    categories = list(dict.fromkeys(sources))
    rows = _rows_of(filled, names) if filled is not None and names else 0
    code = categories.index(source) if source is not None else -1
    data = {"source": pandas.Categorical.from_codes(numpy.full(rows, code, dtype="i4"), categories=categories)}
    values = version in _VERSIONS_WITH_VALUES
    for name in names:
        column = filled.pop(name) if filled is not None else None
        if name in ("path", "name"):
            data[name] = numpy.array(column if column is not None else [], dtype=object)
        elif name in _VALUES and name not in _DATES:
            stored = numpy.frombuffer(column, dtype="<u8") if values else numpy.zeros(rows, dtype="<u8")
            data[name] = pandas.arrays.IntegerArray(stored, numpy.full(rows, not values))
        elif name in _DATES and not values:
            data[name] = pandas.arrays.DatetimeArray(numpy.full(rows, numpy.iinfo("i8").min).view("M8[ns]"),
                                                     dtype=pandas.DatetimeTZDtype(tz="UTC"))
        elif column is None:
            data[name] = _column(numpy, pandas, name, bytearray())
        else:
            data[name] = _column(numpy, pandas, name, column)
    return pandas.DataFrame(data, copy=False)
