#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Prints what Dask alone moves: the file FILE scattered straight to the
workers of the cluster at ADDRESS, in turn, in pieces of the recipe's
largest size, each handed back by a task that does nothing and gathered,
as many at a time on each worker as the recipe keeps; the median of RUNS
runs, uncompressed. This is the ceiling of what the client feeds. Usage:
PYTHONPATH=scale transfer.py ADDRESS FILE RUNS"""

import statistics
import sys
import time

import dask
from distributed import Client, as_completed
from sentbreak_dask.modes import TRAVEL
from sentbreak_dask.pool import DEPTH


def same(piece):
    return piece


def once(client, data):
    workers = list(client.nthreads())
    began, flying = time.perf_counter(), as_completed()
    for i, at in enumerate(range(0, len(data), TRAVEL)):
        if flying.count() >= DEPTH * len(workers):
            next(flying).result()
        w = workers[i % len(workers)]
        [piece] = client.scatter([data[at:at + TRAVEL]], workers=[w],
                                 direct=True, hash=False)
        flying.add(client.submit(same, piece, workers=[w], pure=False))
    for future in flying:
        future.result()
    return time.perf_counter() - began


def main():
    address, path, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    dask.config.set({"distributed.comm.compression": None})
    data = open(path, "rb").read()
    with Client(address) as client:
        once(client, data)  # the warm-up
        s = statistics.median(once(client, data) for _ in range(runs))
    print("Dask alone, the same %d MiB scattered in pieces of %d MiB and "
          "gathered back, median of %d runs: %.2f s, %.1f MB/s.\n"
          % (len(data) >> 20, TRAVEL >> 20, runs, s, len(data) / s / 1e6))


if __name__ == "__main__":
    main()
