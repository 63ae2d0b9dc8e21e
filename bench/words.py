#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Writes N bytes of made-up prose to standard output: the words of
Debian's licence texts, drawn at random as often as they occur there, in
sentences of random length with commas, semicolons and colons, lines of
about a dozen words, and a blank line between paragraphs. The same SEED
(default 1) gives the same bytes. Unlike tests/prose.py, which repeats the
texts, it compresses like text: about 3:1 with gzip.
Usage: words.py N [SEED]"""

import collections
import glob
import os
import re
import sys
from random import Random

CHUNK = 1 << 16  # words drawn at a time


def vocabulary():
    """The words of the licence texts, and how often each occurs."""
    counts = collections.Counter()
    for p in sorted(glob.glob("/usr/share/common-licenses/*")):
        if os.path.isfile(p):
            text = open(p, encoding="utf-8", errors="replace").read()
            counts.update(re.findall(r"[A-Za-z][A-Za-z'-]*", text))
    words = sorted(counts)
    return [w + " " for w in words], [counts[w] for w in words]


def end(token, mark):
    """token, "word " or "word\\n", with mark before its space."""
    return token[:-1] + mark + token[-1]


def punctuate(rng, tokens):
    """Marks sentence and clause ends, line and paragraph breaks, in place."""
    i = 0
    while i < len(tokens):
        tokens[i] = tokens[i][0].upper() + tokens[i][1:]
        n = rng.randint(4, 30)
        last = min(i + n, len(tokens)) - 1
        for _ in range(n // 8):
            at = rng.randrange(i, last) if last > i else last
            if tokens[at][-2].isalpha():
                tokens[at] = end(tokens[at], rng.choice(",,,,;:"))
        tokens[last] = end(tokens[last], ".")
        if rng.random() < 0.15:
            tokens[last] = tokens[last][:-1] + "\n\n"
        i = last + 1
    for at in range(rng.randint(8, 14), len(tokens), 12):
        if tokens[at][-1] == " ":
            tokens[at] = tokens[at][:-1] + "\n"


def main():
    n = int(sys.argv[1])
    rng = Random(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    words, weights = vocabulary()
    out = sys.stdout.buffer
    while n > 0:
        tokens = rng.choices(words, weights, k=CHUNK)
        punctuate(rng, tokens)
        data = "".join(tokens).encode()[:n]
        out.write(data)
        n -= len(data)


if __name__ == "__main__":
    main()
