#!/usr/bin/env python3
# One way of making the data frame of a database, timed in a process of its own; prints "rows N seconds S
# frame_bytes B peak_bytes P". The ways: "read_frame" (catadump.read_frame), and "iterate", what a user
# does without it: every entry's values into lists, then the same frame from them, the dates converted
# from the stored numbers with NumPy at once (faster than the Entry's datetimes). The package must be
# importable (PYTHONPATH at the folder of the built package).
import resource
import sys
import time

import numpy
import pandas

import catadump

TICKS_1601_TO_1970 = 116444736000000000


def dates(filetimes):
    stored = numpy.array(filetimes, dtype="u8")
    nanoseconds = (stored.astype("i8") - TICKS_1601_TO_1970) * 100
    nanoseconds[stored == 0] = numpy.iinfo("i8").min  # NaT
    return pandas.arrays.DatetimeArray(nanoseconds.view("M8[ns]"), dtype=pandas.DatetimeTZDtype(tz="UTC"))


def by_iteration(path):
    names = ("path", "name", "is_folder", "folder", "parent", "size", "created_filetime", "modified_filetime",
             "accessed_filetime", "attributes")
    lists = {name: [] for name in names}
    appends = [(lists[name].append, name) for name in names]
    with catadump.open(path) as db:
        for entry in db:
            for append, name in appends:
                append(getattr(entry, name))
    frame = pandas.DataFrame({
        "path": lists["path"], "name": lists["name"],
        "type": pandas.Categorical.from_codes(numpy.logical_not(lists["is_folder"]).astype("i1"),
                                              categories=["folder", "file"]),
        "folder": numpy.array([-1 if f is None else f for f in lists["folder"]], dtype="i8"),
        "parent": numpy.array([-1 if p is None else p for p in lists["parent"]], dtype="i8"),
        "size": numpy.array(lists["size"], dtype="u8"),
        "created": dates(lists["created_filetime"]), "modified": dates(lists["modified_filetime"]),
        "accessed": dates(lists["accessed_filetime"]),
        "created_filetime": numpy.array(lists["created_filetime"], dtype="u8"),
        "modified_filetime": numpy.array(lists["modified_filetime"], dtype="u8"),
        "accessed_filetime": numpy.array(lists["accessed_filetime"], dtype="u8"),
        "attributes": numpy.array(lists["attributes"], dtype="u4")})
    return frame


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("read_frame", "iterate"):
        sys.exit("usage: python-frame.py read_frame|iterate DATABASE")
    start = time.perf_counter()
    frame = catadump.read_frame(sys.argv[2]) if sys.argv[1] == "read_frame" else by_iteration(sys.argv[2])
    seconds = time.perf_counter() - start
    size = int(frame.memory_usage(deep=True).sum())
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"rows {len(frame)} seconds {seconds:.3f} frame_bytes {size} peak_bytes {peak}")


if __name__ == "__main__":
    main()
