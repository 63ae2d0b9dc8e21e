#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes one sentence at a time into a filter's open input and times how long
each finished line takes to come out. Prints the median and the 99th
percentile in milliseconds."""

import gc
import os
import statistics
import subprocess
import sys
import time


def main():
    count = int(sys.argv[1])
    cmd = sys.argv[2:]
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            bufsize=0)
    fin, fout = proc.stdin.fileno(), proc.stdout.fileno()
    gc.disable()
    waits = []
    pending = b""
    warmup = 20
    for i in range(warmup + count):
        sentence = b"Sentence %d of the latency run is here. " % i
        start = time.perf_counter()
        os.write(fin, sentence)
        while b"\n" not in pending:
            chunk = os.read(fout, 4096)
            if not chunk:
                sys.exit("latency: the filter ended early")
            pending += chunk
        if i >= warmup:
            waits.append(time.perf_counter() - start)
        line, _, pending = pending.partition(b"\n")
        if line != sentence[:-1]:
            sys.exit("latency: unexpected line %r" % line)
    proc.stdin.close()
    proc.stdout.read()
    proc.wait()
    waits.sort()
    p99 = waits[min(len(waits) - 1, int(len(waits) * 0.99))]
    print("%.3f %.3f" % (statistics.median(waits) * 1e3, p99 * 1e3))


if __name__ == "__main__":
    main()
