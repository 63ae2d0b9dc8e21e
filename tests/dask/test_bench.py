# SPDX-License-Identifier: MIT
"""The bench's own tools, whose figures are only as good as they are: the
made-up prose, its size, seed and compression, and the count of programs
running at once."""

import gzip
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "bench")


def tool(name, *args):
    return subprocess.run([sys.executable, os.path.join(BENCH, name)]
                          + [str(a) for a in args], check=True,
                          stdout=subprocess.PIPE).stdout


@pytest.mark.parametrize("n", [0, 1, 65535, 65536, 700001])
def test_words_writes_exactly_n_bytes_the_same_each_time(n):
    data = tool("words.py", n)
    assert len(data) == n and data == tool("words.py", n, 1)


@pytest.mark.parametrize("seeds", [(1, 2), (2, 3)])
def test_words_differ_by_seed(seeds):
    assert len({tool("words.py", 4096, s) for s in seeds}) == 2


@pytest.mark.parametrize("n", [1 << 20])
def test_words_compress_like_text(n):
    data = tool("words.py", n)
    assert 2.3 < n / len(gzip.compress(data)) < 3.5
    assert data.count(b". ") + data.count(b".\n") > n // 200


@pytest.mark.parametrize("script, most", [
    ("sleep 0.5", 1),
    ("sleep 0.5 & sleep 0.5; wait", 2),
    ("sh -c 'sleep 0.5 & sleep 0.5 & wait' & sleep 0.5; wait", 3),
])
def test_watch_counts_programs_at_once_down_the_tree(script, most):
    sleep = subprocess.run(["sh", "-c", "command -v sleep"], check=True,
                           stdout=subprocess.PIPE, text=True).stdout.strip()
    fields = tool("watch.py", sleep, "sh", "-c", script).split()
    assert int(fields[2]) == most
