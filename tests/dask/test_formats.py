# SPDX-License-Identifier: MIT
"""The parts of compressed files, found in process: each decodes on its own
to its share of the text, and pieces group them as the worker needs."""

import bz2
import gzip
import lzma
import os
import struct

import pytest

from sentbreak_dask import packed
from sentbreak_dask.codecs import decoded
from sentbreak_dask.compressed import Packed, group, join
from sentbreak_dask.formats import layout
from sentbreak_dask.program import Failure
from sentbreak_dask.worker import version_of

zstandard = pytest.importorskip("zstandard", reason="needs python3-zstandard")

A, B = b"First. Part; of it\n" * 300, b"Second: part. " * 200
SKIP = struct.pack("<II", 0x184D2A50, 4) + b"skip"
# A frame without its size, of one compressed block with no literals and
# no sequences.
EMPTY = bytes.fromhex("28b52ffd0000150000" "0000")


def zstd(data, size=True):
    return zstandard.ZstdCompressor(write_content_size=size).compress(data)


# name, file, the parts' sizes (None: not known), the pieces at a block of
# 100 bytes of text
ROWS = [
    ("xz, two streams with padding", lzma.compress(A) + b"\0" * 8 +
     lzma.compress(B), [len(A), len(B)], 2),
    ("xz, an empty stream", lzma.compress(b""), [0], 1),
    ("xz, an empty stream between", lzma.compress(A) + lzma.compress(b"") +
     lzma.compress(B), [len(A), len(B)], 2),
    ("zstd, frames, skippable ones between", SKIP + zstd(A) + SKIP +
     zstd(B, size=False) + zstd(b"") + SKIP, [len(A), None, 0], 2),
    ("zstd, skippable frames alone", SKIP + SKIP, [0], 1),
    ("zstd, an empty compressed block first and last", EMPTY +
     zstd(A, size=False) + EMPTY + zstd(B) + EMPTY, [0, None, 0, len(B), 0],
     2),
    ("bzip2, streams, one empty", bz2.compress(A) + bz2.compress(b"") +
     bz2.compress(B), [None, 0, None], 2),
    ("gzip, members", gzip.compress(A) + gzip.compress(B), [None], 1),
]


@pytest.mark.parametrize("name, data, sizes, pieces", ROWS,
                         ids=[r[0] for r in ROWS])
def test_parts(name, data, sizes, pieces):
    fmt = {"x": "xz", "z": "zstd", "b": "bzip2", "g": "gzip"}[name[0]]

    def read(at, n):
        return data[at:at + n]
    parts = layout(fmt, read, len(data))
    assert [p.size for p in parts] == sizes
    text = [b"".join(decoded(fmt, read, p)) for p in parts]
    assert b"".join(text) == (A + B if len(A + B) == sum(map(len, text))
                              else b"")
    runs = group(fmt, parts, 100)
    assert len(runs) == pieces
    assert all(r[0].size != 0 for r in runs[1:])  # none starts empty
    assert b"".join(b"".join(decoded(fmt, read, join(fmt, r)))
                    for r in runs) == b"".join(text)


@pytest.mark.parametrize("fmt, data, words", [
    ("xz", lzma.compress(A)[:-4] + b"\0\0\0\0", "truncated xz data"),
    ("xz", lzma.compress(A)[:-8], "truncated xz data"),
    ("xz", gzip.compress(A), "not an xz file"),
    ("zstd", zstd(A)[:-5], "truncated zstd data"),
    ("zstd", b"\x28\xb5\x2f\xfd\x00" + b"\xff" * 8, "bad block header"),
    ("zstd", A, "not a zstd file"),
    ("bzip2", A, "not a bzip2 file"),
    ("gzip", b"", "empty"),
])
def test_bad_layouts(fmt, data, words):
    with pytest.raises(Failure, match=words):
        layout(fmt, lambda at, n: data[at:at + n], len(data))


@pytest.mark.parametrize("fmt, compress", [
    ("gzip", gzip.compress), ("bzip2", bz2.compress),
    ("zstd", lambda d: zstd(d, size=False))])
def test_time_allowed_for_text_of_unknown_size(fmt, compress, tmp_path):
    """A piece that decodes to far more than usual is given time for all
    of it."""
    text = bytes(64 << 20)
    path = tmp_path / "zeros"
    path.write_bytes(compress(text))
    f = Packed(str(path), str(tmp_path / "out"),
               version_of(os.stat(path)), fmt=fmt)
    [piece] = f.cut(64 << 20)
    assert f.runs(piece) * packed.WINDOW >= len(text)
