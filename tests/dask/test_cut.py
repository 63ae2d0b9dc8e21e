# SPDX-License-Identifier: MIT
"""The cut rule and the output length it implies, held against sentbreak
itself; and the escaping of what the recipe prints."""

import random
import subprocess

import pytest

from sentbreak_dask.cut import MIN_PIECE, POINTS, cuts, final
from sentbreak_dask.report import escape


def noise(seed):
    rng = random.Random(seed)
    return bytes(rng.choice(b"..;!: \n\0\ta?") for _ in
                 range(rng.randrange(1, 10 * MIN_PIECE)))


INPUTS = [noise(seed) for seed in range(16)] + [
    b"." * 5 * MIN_PIECE,
    b"a" * (MIN_PIECE - 1) + b"." * 3 * MIN_PIECE + b" end.\n",
    (b"x. " * MIN_PIECE)[:2 * MIN_PIECE] + b"!",
]


def breaks(sentbreak, data):
    return subprocess.run([sentbreak], input=data, check=True,
                          stdout=subprocess.PIPE).stdout


@pytest.mark.parametrize("data", INPUTS, ids=range(len(INPUTS)))
def test_pieces_join_into_the_whole(sentbreak, data):
    pieces = cuts(lambda n, at: data[at:at + n], len(data), MIN_PIECE)
    starts = [start for start, _ in pieces]
    assert starts[0] == 0 and pieces[-1][1] == len(data)
    assert [end for _, end in pieces[:-1]] == starts[1:]
    assert all(data[at - 1] not in POINTS for at in starts[1:])
    assert all(end - start >= MIN_PIECE for start, end in pieces[1:])
    outs = [breaks(sentbreak, data[start:end]) for start, end in pieces]
    for out, (start, end) in zip(outs, pieces):
        assert len(out) == end - start + final(data[start:end][-2:])
    joined = b"".join(out[:end - start] for out, (start, end)
                      in zip(outs, pieces[:-1]))
    assert joined + outs[-1] == breaks(sentbreak, data)


@pytest.mark.parametrize("text, shown", [
    (b"caf\xc3\xa9. Plain", "caf\u00e9. Plain"),
    (b"new\nline\ttab", "new\\nline\\ttab"),
    (b"\x1b]0;title\x07\xc2\x9b", "\\x1b]0;title\\x07\\x9b"),
    (b"not \xff UTF-8", "not \\xff UTF-8"),
    ("\u202eturned", "\\u202eturned"),
])
def test_escape(text, shown):
    assert escape(text) == shown
