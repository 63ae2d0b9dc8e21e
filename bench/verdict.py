#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Prints, from hyperfine's results, the last command's median time over
the first's, whether it is within TARGET, and each command's CPU time over
its wall time (hyperfine's means of user and system time over the mean),
which is above 1 where programs ran at once. Usage: verdict.py JSON TARGET"""

import json
import sys


def main():
    results = json.load(open(sys.argv[1]))["results"]
    target = float(sys.argv[2])
    first, last = results[0], results[-1]
    ratio = last["median"] / first["median"]
    print("%s against %s: %.2f of its median time; the target, %.2f at most,"
          " is %s." % (last["command"], first["command"], ratio, target,
                       "met" if ratio <= target else "NOT met"))
    print("CPU time over wall time: %s." % ", ".join(
        "%s %.2f" % (r["command"], (r["user"] + r["system"]) / r["mean"])
        for r in results))
    print()


if __name__ == "__main__":
    main()
