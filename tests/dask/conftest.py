# SPDX-License-Identifier: MIT
"""Fixtures for the recipe's tests: the recipe and sentbreak, named by the
environment (SENTBREAK_DASK, SENTBREAK), clusters of two workers on
127.0.0.1, and a corpus of inputs with the outputs that sentbreak gives."""

import os
import random
import shutil
import subprocess
import sys

import pytest

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [TESTS, os.path.join(os.path.dirname(TESTS), "scale")]
import cluster  # noqa: E402
from sentbreak_dask.journal import JOURNAL  # noqa: E402

# The bytes whose handling a line-oriented engine would change, and names
# that a shell or a terminal would.
CORPUS = {
    "crlf.txt": b"One line.\r\nTwo lines.\r\n",
    "cr.txt": b"Old lines. They\rend here.",
    "nul.bin": b"a.\0b\0",
    "ff.bin": b"\xff. \xff",
    "no final newline": b"It ends. Here",
    "after a break.txt": b"Done. ",
    "empty": b"",
    "a b; $(touch x) `id` 'q' \"d\" & | * ?.txt": b"Odd. Name.\n",
    "new\nline\x1b[2J.txt": b"Two. Lines.\n",
    "nested/deeper/in.txt": b"Deep. Down.\n",
}


def prose(n):
    """n bytes of Debian's licence texts, repeated."""
    return subprocess.run([sys.executable, os.path.join(TESTS, "prose.py"),
                           str(n)], check=True, stdout=subprocess.PIPE).stdout


def large():
    """Files that a block size of 4 KiB cuts into pieces."""
    rng = random.Random(20261208)
    text = prose(1 << 20)
    return {
        "big/prose.txt": text,
        "big/noisy.bin": bytes(rng.choice(b".;!:?,\0\t\n\r \v\xffa")
                               for _ in range(1 << 18)),
        "big/no break.txt": (b"no break here, " * 5000)[:1 << 16],
        "big/ends with a break.txt": text[:1 << 16] + b" End.\n",
        "big/one block": (b"x. " * 2000)[:4096],
        "big/one block and a byte": (b"x. " * 2000)[:4096] + b".",
    }


@pytest.fixture(scope="session")
def sentbreak():
    return os.environ["SENTBREAK"]


@pytest.fixture(scope="session")
def recipe():
    return os.environ["SENTBREAK_DASK"]


def write(top, files):
    for rel, data in files.items():
        path = os.path.join(top, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def tree(top):
    """Every file under top, hidden ones too, by relative path; but the
    recipe's journals."""
    found = {}
    for root, _, names in os.walk(top):
        for name in set(names) - {JOURNAL}:
            with open(os.path.join(root, name), "rb") as f:
                found[os.path.relpath(f.name, top)] = f.read()
    return found


@pytest.fixture(scope="session")
def corpus(tmp_path_factory, sentbreak):
    """A directory of inputs, and the output each must have."""
    top = tmp_path_factory.mktemp("corpus")
    files = dict(CORPUS, **large())
    write(top, files)
    return top, {rel: subprocess.run([sentbreak], input=data, check=True,
                                     stdout=subprocess.PIPE).stdout
                 for rel, data in files.items()}


def started(tmp_path_factory, name, **kwargs):
    c = cluster.start(str(tmp_path_factory.mktemp(name)), **kwargs)
    from distributed import Client, Security
    sec = Security(require_encryption=True, **c.tls) if c.tls else None
    with Client(c.address, security=sec, timeout=60) as client:
        found = client.run(lambda: __import__("importlib.util").util
                           .find_spec("sentbreak_dask") is not None)
    assert not any(found.values()), "workers that have the package"
    return c


@pytest.fixture(scope="session")
def remote(tmp_path_factory):
    c = started(tmp_path_factory, "cluster")
    yield c
    cluster.stop(c)


@pytest.fixture(scope="session")
def tls(tmp_path_factory):
    c = started(tmp_path_factory, "tls", tls=True)
    yield c
    cluster.stop(c)


def viewed(tmp_path_factory, kind, path):
    """A cluster whose workers see path through a mount of their own."""
    if subprocess.run(["unshare", "-m", "true"]).returncode != 0:
        pytest.skip("needs mount namespaces (unshare -m, as root)")
    c = started(tmp_path_factory, kind, view=(kind, str(path)))
    yield c
    cluster.stop(c)


@pytest.fixture(scope="session")
def hidden(tmp_path_factory, corpus):
    """A cluster whose workers cannot see the corpus."""
    yield from viewed(tmp_path_factory, "hidden", corpus[0])


@pytest.fixture(scope="session")
def overlay(tmp_path_factory, corpus):
    """A cluster whose workers see the corpus through an overlay: the same
    files, read-only, on another device."""
    yield from viewed(tmp_path_factory, "overlay", corpus[0])


@pytest.fixture(scope="session")
def bindfs(tmp_path_factory, corpus):
    """A cluster whose workers see every test's files through FUSE."""
    if shutil.which("bindfs") is None or not os.path.exists("/dev/fuse"):
        pytest.skip("needs bindfs and /dev/fuse (Debian: bindfs)")
    yield from viewed(tmp_path_factory, "bindfs",
                      tmp_path_factory.getbasetemp())


@pytest.fixture
def doomed(tmp_path_factory):
    """A cluster of its own, for a test that kills one of its workers."""
    c = started(tmp_path_factory, "doomed")
    yield c
    cluster.stop(c)
