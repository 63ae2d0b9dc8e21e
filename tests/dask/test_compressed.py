# SPDX-License-Identifier: MIT
"""Compressed inputs end to end: each output decompresses to sentbreak's
output of the decompressed input, a file in several parts runs in several
pieces, whose outputs are joined, and a bad file fails alone, with one
line."""

import bz2
import gzip
import io
import lzma
import os
import random
import subprocess

import pytest

from conftest import prose, tree, write
from test_recipe import WAIT, reach
from sentbreak_dask.formats import format_of, layout

zstandard = pytest.importorskip("zstandard", reason="needs python3-zstandard")

COMPRESS = {
    ".gz": lambda d: gzip.compress(d, 6, mtime=0),
    ".bz2": bz2.compress,
    ".xz": lzma.compress,
    ".zst": lambda d: zstandard.ZstdCompressor(write_checksum=True)
    .compress(d),
}
DECOMPRESS = {".gz": gzip.decompress, ".bz2": bz2.decompress,
              ".xz": lzma.decompress,
              ".zst": lambda d: zstandard.ZstdDecompressor().stream_reader(
                  io.BytesIO(d), read_across_frames=True).read()}
TEXTS = {
    "empty": b"",
    "ends after a break": b"It ends. ",
    "crlf": b"One line.\r\nTwo lines.\r\n",
    "nul": b"a.\0b\0. \0",
}


def in_parts(data, compress):
    """data compressed in parts, cut right after points, right after the
    whitespace after them, and anywhere."""
    rng = random.Random(len(data))
    points = [i for i in range(len(data) - 1) if data[i] == 0x2e]
    cuts = sorted({i + 1 for i in points[::97]} | {i + 2 for i in points[::89]}
                  | {rng.randrange(1, len(data)) for _ in range(4)})
    return b"".join(compress(data[a:b]) for a, b in
                    zip([0] + cuts, cuts + [len(data)]))


def bad(ext, text):
    """Files that must fail, with the words each must fail with."""
    good = COMPRESS[ext](text)
    other = COMPRESS[".gz" if ext != ".gz" else ".xz"](text)
    middle = len(good) // 2
    return {
        "corrupt" + ext: (good[:middle] + bytes(b ^ 0x55 for b in
                          good[middle:middle + 8]) + good[middle + 8:],
                          "corrupt"),
        "truncated" + ext: (good[:-9], "truncated"),
        "another format" + ext: (other, "not a"),
        "text" + ext: (text, "not a"),
    }


@pytest.fixture(scope="session")
def packed(tmp_path_factory, sentbreak):
    """For each suffix, a directory of compressed files; the text of each
    good one, and the words of each bad one."""
    text = prose(300000)
    found = {}
    for ext, compress in COMPRESS.items():
        top = tmp_path_factory.mktemp(ext[1:])
        texts = {name + ext: t for name, t in dict(TEXTS, prose=text).items()}
        files = {name: compress(t) for name, t in texts.items()}
        files["split" + ext] = in_parts(text, compress)
        texts["split" + ext] = text
        failing = bad(ext, text)
        files.update({name: data for name, (data, _) in failing.items()})
        write(top, files)
        found[ext] = top, texts, {n: w for n, (_, w) in failing.items()}
    return found


def run(recipe, sentbreak, args, source, out):
    proc = subprocess.run([recipe, *args, "--sentbreak", sentbreak, source,
                           out], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, timeout=WAIT)
    return proc.returncode, proc.stderr.decode().splitlines()


@pytest.mark.parametrize("ext", list(COMPRESS))
@pytest.mark.parametrize("where", ["local", "remote", "shared"])
def test_formats(request, recipe, sentbreak, packed, tmp_path, ext, where):
    args, _, _ = reach(request, where)
    top, texts, failing = packed[ext]
    out = tmp_path / "out"
    status, said = run(recipe, sentbreak, args + ["--block-size", "16K"],
                       top, out)
    got = tree(out)
    assert status == 1 and sorted(got) == sorted(texts)
    for name, text in texts.items():
        want = subprocess.run([sentbreak], input=text, check=True,
                              stdout=subprocess.PIPE).stdout
        assert DECOMPRESS[ext](got[name]) == want, name
    assert len(said) == len(failing)
    for name, words in failing.items():
        assert any(s.startswith("sentbreak-dask: %s: " % (top / name)) and
                   words in s for s in said), (name, said)
    if ext != ".gz":  # which cannot be split: one output member
        split = got["split" + ext]
        parts = layout(format_of(ext), lambda at, n: split[at:at + n],
                       len(split))
        assert len(parts) > 1, "ran as one piece"


def test_compression_none(recipe, sentbreak, packed, tmp_path):
    top = packed[".gz"][0]
    out = tmp_path / "out"
    assert run(recipe, sentbreak, ["--workers", "2", "--compression", "none"],
               top, out) == (0, [])
    assert tree(out) == {
        name: subprocess.run([sentbreak], input=data, check=True,
                             stdout=subprocess.PIPE).stdout
        for name, data in tree(top).items()}


def stamps(out):
    """What a rewrite changes of each output."""
    return {rel: (st.st_ino, st.st_mtime_ns, st.st_ctime_ns)
            for rel, st in ((r, os.stat(out / r)) for r in tree(out))}


UPDATES = [
    ("up to date", None, [], set()),
    ("an output edited", lambda top, out: (out / "split.zst").write_bytes(
        COMPRESS[".zst"](b"Edited.")), [], {"split.zst"}),
    ("an input replaced", lambda top, out: (top / "prose.xz").write_bytes(
        COMPRESS[".xz"](b"New. Text.")), [], {"prose.xz"}),
    ("--compression changed", None, ["--compression", "none"],
     {"prose.xz", "split.zst", "crlf.gz"}),
]


@pytest.mark.parametrize("name, change, args, again", UPDATES,
                         ids=[u[0] for u in UPDATES])
def test_update(recipe, sentbreak, packed, tmp_path, name, change, args,
                again):
    top, out = tmp_path / "in", tmp_path / "out"
    write(top, {name: (packed[os.path.splitext(name)[1]][0] / name)
                .read_bytes() for name in ("prose.xz", "split.zst",
                                           "crlf.gz")})
    opts = ["--workers", "2", "--block-size", "16K"]
    assert run(recipe, sentbreak, opts, top, out) == (0, [])
    before = stamps(out)
    if change:
        change(top, out)
    assert run(recipe, sentbreak, opts + ["--update"] + args, top, out) == \
        (0, [])
    after = stamps(out)
    assert {rel for rel in after if after[rel] != before[rel]} == again
