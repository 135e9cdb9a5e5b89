#!/usr/bin/env python3
# Dask over many databases on a local cluster of worker processes: prints "workers W rows N seconds S cold C"
# for a cluster of each size asked for. Each partition's frame is made where it runs and only its length
# comes back, so the figure is the workers' reading. C is the first pass after the cluster started, S the
# pass after it: a cluster's workers live on, and their first tasks pay for what a process does once
# (imports inside pandas, the allocator's first pages). The first pass names the files in the other order,
# so that its results, which the scheduler may still hold, are not the second's. The package must be
# importable (PYTHONPATH at the folder of the built package); the workers inherit it.
import os
import sys
import time

from dask.distributed import Client, LocalCluster

import catadump.dask


def timed(inputs):
    frame = catadump.dask.read_databases(inputs)
    start = time.perf_counter()
    rows = len(frame)  # each partition made on its worker, only its length sent back
    return rows, time.perf_counter() - start


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: python-dask.py FOLDER WORKERS...")
    for workers in map(int, sys.argv[2:]):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            client.run(lambda: __import__("catadump.dask"))  # the workers' imports before the clock starts
            files = sorted(os.path.join(sys.argv[1], name) for name in os.listdir(sys.argv[1])
                           if name.endswith(".db"))
            _, cold = timed(files[::-1])
            rows, seconds = timed(files)
        print(f"workers {workers} rows {rows} seconds {seconds:.3f} cold {cold:.3f}", flush=True)


if __name__ == "__main__":
    main()
