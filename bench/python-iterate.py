#!/usr/bin/env python3
# Times the Python module over a database: iterates every entry reading its path and size, and prints
# "entries N seconds S rate R/s". The module must be importable (PYTHONPATH at the folder of the built package).
import sys
import time

import catadump


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: python-iterate.py DATABASE")
    count = 0
    total = 0
    start = time.perf_counter()
    with catadump.open(sys.argv[1]) as db:
        for entry in db:
            entry.path
            size = entry.size
            if size is not None:
                total += size
            count += 1
    seconds = time.perf_counter() - start
    print(f"entries {count} seconds {seconds:.3f} rate {count / seconds:.0f}/s")


if __name__ == "__main__":
    main()
