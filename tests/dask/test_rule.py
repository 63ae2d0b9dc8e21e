# SPDX-License-Identifier: MIT
"""The rule that the recipe relies on, held against sentbreak itself: its
model of the output, and pieces cut anywhere that join into the whole."""

import random
import subprocess

import pytest

from sentbreak_dask.rule import (POINTS, PROBE, SPACES, cut_evenly,
                                 expected_output, final_length)


def noise(seed, most=3000):
    rng = random.Random(seed)
    return bytes(rng.choice(b"..;!: \n\0\t\r\x0ba?\xff")
                 for _ in range(rng.randrange(0, most)))


INPUTS = [noise(seed) for seed in range(12)] + [
    b"", b".", b". ", b"a.\0", b"." * 5000, PROBE]


def breaks(sentbreak, data):
    return subprocess.run([sentbreak], input=data, check=True,
                          stdout=subprocess.PIPE).stdout


@pytest.mark.parametrize("data", INPUTS, ids=range(len(INPUTS)))
def test_pieces_cut_anywhere_join_into_the_whole(sentbreak, data):
    whole = breaks(sentbreak, data)
    assert expected_output(data) == whole
    assert len(whole) == len(data) + final_length(data[-2:])
    cut = cut_evenly(0, len(data), 1 + len(data) // 7)
    assert cut[0].start == 0 and cut[-1].end == len(data)
    joined = b""
    for span in cut:
        lead = 1 if span.start else 0
        out = breaks(sentbreak, data[span.start - lead:span.end])[lead:]
        joined += out if span.end == len(data) else out[:span.end - span.start]
    assert joined == whole


def test_the_probe_holds_what_a_wrong_program_would_miss():
    pairs = {PROBE[i:i + 2] for i in range(len(PROBE) - 1)}
    assert all(any(bytes([p, s]) in pairs for p in POINTS) for s in SPACES)
    assert all(any(bytes([p, s]) in pairs for s in SPACES) for p in POINTS)
    assert b"\r\n" in PROBE and b"..." in PROBE
    assert set(range(0x80, 0x100)) <= set(PROBE)
    assert final_length(PROBE[-2:]) == 2
