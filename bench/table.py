#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Prints hyperfine's results as a Markdown table of medians, each against
the first command's. Commands named "NAME | WAY" are rows NAME with columns
WAY, in MB/s of the file SIZED; without SIZED, in seconds.
Usage: table.py JSON TITLE [SIZED]"""

import json
import os
import sys


def main():
    results = json.load(open(sys.argv[1]))["results"]
    rows = {}
    for r in results:
        name, _, way = r["command"].partition(" | ")
        rows.setdefault(name, {})[way] = r["median"]
    first = next(iter(rows.values()))
    print("%s, median of %d runs:\n" % (sys.argv[2], len(results[0]["times"])))
    if len(sys.argv) > 3:
        mb = os.path.getsize(sys.argv[3]) / 1e6
        print("| command |" + "".join(" %s MB/s | %s vs %s |" % (
            way, way, results[0]["command"].partition(" | ")[0])
            for way in first))
        print("|---|" + "--:|--:|" * len(first))
        for name, t in rows.items():
            print("| %s |%s" % (name, "".join(
                " %.1f | %.2fx |" % (mb / t[w], first[w] / t[w])
                for w in first)))
    else:
        print("| command | seconds | time vs %s |\n|---|--:|--:|"
              % results[0]["command"])
        for name, t in rows.items():
            print("| %s | %.2f | %.2fx |" % (name, t[""], t[""] / first[""]))
    print()


if __name__ == "__main__":
    main()
