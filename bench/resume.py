#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Prints, in Markdown, what durable outputs and --update cost and save,
each on the recipe's own cluster of 2, the median of RUNS runs:

- SMALL small files written with no sync of the outputs, with a sync of
  each, and as the recipe syncs them, in batches;
- a corpus of UPDATE files, run, then run again with --update;
- one file of BIG MiB in pieces of PIECE MiB, run whole, and run again with
  --update after a run killed once 60% of its pieces are recorded.

Usage: resume.py SENTBREAK WORK RUNS SMALL UPDATE BIG PIECE"""

import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECIPE = os.path.join(TOP, "scale", "sentbreak-dask")
# The recipe with its syncs made what a row names.
PATCHED = """import sys
sys.path.insert(0, %r)
from sentbreak_dask import cli, durable, parts
if sys.argv[1] == "none":
    parts.sync_files, parts.sync_directory = lambda p: {}, lambda d: None
elif sys.argv[1] == "each":
    durable.SYNCFS_AT = 1 << 62
del sys.argv[1]
cli.leave(cli.main())
""" % os.path.join(TOP, "scale")


def prose(n):
    return subprocess.run([sys.executable, os.path.join(TOP, "tests",
                                                        "prose.py"), str(n)],
                          check=True, stdout=subprocess.PIPE).stdout


def recipe(sentbreak, *args, syncs=None):
    cmd = [sys.executable, "-c", PATCHED, syncs] if syncs else [RECIPE]
    return cmd + ["--workers", "2", "--sentbreak", sentbreak, *args]


def timed(cmd):
    began = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - began


def median(runs, once):
    return statistics.median(once() for _ in range(runs))


def corpus(work, count):
    top = os.path.join(work, "corpus-%d" % count)
    text = prose(10000)
    os.makedirs(top, exist_ok=True)
    for i in range(count):
        with open(os.path.join(top, "%04d.txt" % i), "wb") as f:
            f.write(text)
    return top


def fresh(out):
    shutil.rmtree(out, ignore_errors=True)
    return out


def syncs(sb, work, runs, count):
    source, out = corpus(work, count), os.path.join(work, "out")
    rows = [(how, median(runs, lambda: timed(recipe(
        sb, source, fresh(out), syncs=how))))
        for how in ("none", "each", "batch")]
    print("%d files of 10000 bytes, outputs synced or not, median of %d "
          "runs:\n\n| syncs | seconds | time vs no sync |\n|---|--:|--:|"
          % (count, runs))
    names = {"none": "none", "each": "fdatasync of each output",
             "batch": "as the recipe does: syncfs for each batch"}
    for how, t in rows:
        print("| %s | %.2f | %.2fx |" % (names[how], t, t / rows[0][1]))
    print()


def update(sb, work, runs, count):
    source, out = corpus(work, count), os.path.join(work, "out")
    first = median(runs, lambda: timed(recipe(sb, source, fresh(out))))
    again = median(runs, lambda: timed(recipe(sb, "--update", source, out)))
    print("A corpus of %d files of 10000 bytes, median of %d runs: the "
          "first run %.2f s, a second with --update %.2f s, %.2fx of the "
          "first." % (count, runs, first, again, again / first))


def pieces_recorded(out):
    directory = os.path.dirname(out)
    return sum(open(os.path.join(directory, n), "rb").read().count(b"\n") - 1
               for n in os.listdir(directory) if n.endswith(".pieces"))


def killed_then_updated(sb, args, out, at):
    """Kills a run once at pieces are recorded; times the --update run."""
    fresh(os.path.dirname(out))
    os.makedirs(os.path.dirname(out))
    proc = subprocess.Popen(recipe(sb, *args), stdout=subprocess.DEVNULL)
    while pieces_recorded(out) < at:
        time.sleep(0.01)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    return timed(recipe(sb, "--update", *args))


def big(sb, work, runs, mib, piece):
    source, out = os.path.join(work, "big"), os.path.join(work, "o", "big")
    with open(source, "wb") as f:
        f.write(prose(mib << 20))
    args = ["--block-size", "%dM" % piece, source, out]
    at = (mib // piece) * 6 // 10

    def whole():
        fresh(os.path.dirname(out))
        return timed(recipe(sb, *args))
    full = median(runs, whole)
    rerun = median(runs, lambda: killed_then_updated(sb, args, out, at))
    print("One file of %d MiB in pieces of %d MiB, median of %d runs: a "
          "whole run %.2f s; killed once %d of its %d pieces were recorded, "
          "the run again with --update %.2f s, %.2fx of a whole run."
          % (mib, piece, runs, full, at, mib // piece, rerun, rerun / full))


def main():
    sb, work = sys.argv[1], sys.argv[2]
    runs, small, many, mib, piece = map(int, sys.argv[3:8])
    syncs(sb, work, runs, small)
    update(sb, work, runs, many)
    big(sb, work, runs, mib, piece)


if __name__ == "__main__":
    main()
