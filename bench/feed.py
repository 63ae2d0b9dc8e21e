#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Prints what the client feeds, as a Markdown table, from hyperfine's
results for commands named "NAME | WAY | big" and "NAME | WAY | small": in
MB/s of the file BIG, over the whole run and with the start taken out (the
median run on SMALL, a file of a few bytes, taken from the median run on
BIG), each against the first NAME's. Usage: feed.py JSON TITLE BIG"""

import json
import os
import sys


def main():
    results = json.load(open(sys.argv[1]))["results"]
    medians = {tuple(r["command"].split(" | ")): r["median"] for r in results}
    names = list(dict.fromkeys(k[0] for k in medians))
    ways = list(dict.fromkeys(k[1] for k in medians))
    mb = os.path.getsize(sys.argv[3]) / 1e6

    def rates(name, way):
        big, small = medians[name, way, "big"], medians[name, way, "small"]
        return mb / big, mb / (big - small), small

    runs = len(results[0]["times"])
    print("%s, median of %d runs:\n" % (sys.argv[2], runs))
    print("| command |" + "".join(
        " %s MB/s | start out, MB/s | vs %s | start, s |" % (way, names[0])
        for way in ways))
    print("|---|" + "--:|--:|--:|--:|" * len(ways))
    for name in names:
        cells = ""
        for way in ways:
            whole, net, start = rates(name, way)
            cells += " %.1f | %.1f | %.2fx | %.2f |" % (
                whole, net, net / rates(names[0], way)[1], start)
        print("| %s |%s" % (name, cells))
    print()


if __name__ == "__main__":
    main()
