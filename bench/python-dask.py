#!/usr/bin/env python3
# Dask over many databases on a local cluster of worker processes: prints "workers W rows N seconds S" for
# a cluster of each size asked for. Each partition's frame is made where it runs and only its length comes
# back, so the figure is the workers' reading. The package must be importable (PYTHONPATH at the folder of
# the built package); the workers inherit it.
import sys
import time

from dask.distributed import Client, LocalCluster

import catadump.dask


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: python-dask.py FOLDER WORKERS...")
    for workers in map(int, sys.argv[2:]):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            client.run(lambda: __import__("catadump.dask"))  # the workers' imports before the clock starts
            frame = catadump.dask.read_databases([sys.argv[1]])
            start = time.perf_counter()
            rows = len(frame)  # each partition made on its worker, only its length sent back
            seconds = time.perf_counter() - start
        print(f"workers {workers} rows {rows} seconds {seconds:.3f}", flush=True)


if __name__ == "__main__":
    main()
