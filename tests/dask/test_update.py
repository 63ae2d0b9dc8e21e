# SPDX-License-Identifier: MIT
"""Runs that pick up where others stopped: --update skips what is up to
date and runs the rest; a run killed at any moment leaves each output whole
or absent; a big file's synced pieces survive a kill; and every output is
synced before its name appears."""

import dataclasses
import os
import re
import shutil
import subprocess
import time

import pytest

from conftest import prose, tree
from sentbreak_dask.journal import JOURNAL, PIECES

WAIT = 240  # for any one run, or any one wait on a run


def run(recipe, program, source, out, *args, cluster=("--workers", "2")):
    proc = subprocess.run(
        [recipe, *cluster, "--sentbreak", program, *args, str(source),
         str(out)], capture_output=True, timeout=WAIT)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.decode()


def want(sentbreak, source):
    return {rel: subprocess.run([sentbreak], input=data, check=True,
                                stdout=subprocess.PIPE).stdout
            for rel, data in tree(source).items()}


def stamps(out):
    """What a rewrite changes of each output."""
    found = {}
    for rel in tree(out):
        st = os.stat(os.path.join(out, rel))
        found[rel] = (st.st_ino, st.st_mtime_ns, st.st_ctime_ns)
    return found


def script(path, body, sentbreak):
    with open(path, "w") as f:
        f.write("#!/bin/sh\n%s\n" % body.replace("SENTBREAK", sentbreak))
    os.chmod(path, 0o755)
    return str(path)


def at_same_size(path, change):
    """Rewrites path in place with change(bytes), its times set back."""
    st = os.stat(path)
    with open(path, "r+b") as f:
        data = f.read()
        f.seek(0)
        f.write(change(data))
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def shorten(path):
    os.truncate(path, os.path.getsize(path) // 2)


@dataclasses.dataclass
class Change:
    name: str
    change: object = None  # done to (source, out) between the runs
    again: tuple = ()  # the outputs run again; None: all of them, "top":
    # those in the top directory
    update: bool = True
    program: str = None  # the second run's, where it differs


CHANGES = [
    Change("up to date"),
    Change("an output edited at its size, its mtime set back",
           lambda s, o: at_same_size(o / "crlf.txt", bytes.swapcase),
           ("crlf.txt",)),
    Change("an output shortened", lambda s, o: shorten(o / "big/prose.txt"),
           ("big/prose.txt",)),
    Change("an output removed",
           lambda s, o: os.unlink(o / "nested/deeper/in.txt"),
           ("nested/deeper/in.txt",)),
    Change("an input rewritten at its size, its mtime set back",
           lambda s, o: at_same_size(s / "cr.txt", bytes.upper),
           ("cr.txt",)),
    Change("an input replaced",
           lambda s, o: (s / "big/one block").write_bytes(b"New. Text."),
           ("big/one block",)),
    Change("the journal lost", lambda s, o: os.unlink(o / JOURNAL), "top"),
    Change("without --update", again=None, update=False),
    Change("another program", again=None, program="exec SENTBREAK"),
]


@pytest.mark.parametrize("row", CHANGES, ids=[c.name for c in CHANGES])
def test_update(recipe, sentbreak, corpus, tmp_path, row):
    source, out = tmp_path / "in", tmp_path / "out"
    shutil.copytree(corpus[0], source)
    opts = ("--block-size", "64K")
    run(recipe, sentbreak, source, out, *opts)
    before = stamps(out)
    if row.change:
        row.change(source, out)
    program = script(tmp_path / "p", row.program, sentbreak) \
        if row.program else sentbreak
    said = run(recipe, program, source, out, *opts,
               *(["--update"] if row.update else []))
    assert tree(out) == want(sentbreak, source)
    after = stamps(out)
    again = {r for r in after if before.get(r) != after[r]}
    expected = set(after) if row.again is None else {
        r for r in after if "/" not in r} if row.again == "top" \
        else set(row.again)
    assert again == expected
    if row.update:
        assert ", %d up to date," % (len(after) - len(expected)) in said


def outputs_done(out):
    return [name for _, _, names in os.walk(out) for name in names
            if not name.startswith(".")]


def recorded(out):
    """The pieces recorded beside the .part- files under out."""
    count = 0
    for root, _, names in os.walk(out):
        for name in names:
            if name.endswith(PIECES):
                with open(os.path.join(root, name), "rb") as f:
                    count += f.read().count(b"\n") - 1
    return count


def parts(out):
    return [n for _, _, names in os.walk(out) for n in names
            if n.startswith(".part-")]


def wait_for(what):
    began = time.monotonic()
    while not what():
        assert time.monotonic() - began < WAIT
        time.sleep(0.01)


KILLS = [  # when the run is killed
    ("its first .part- file made", lambda out: parts(out)),
    ("some outputs written", lambda out: len(outputs_done(out)) >= 3),
    ("pieces of big files recorded", lambda out: recorded(out) >= 4),
]


@pytest.mark.parametrize("moment", KILLS, ids=[k[0] for k in KILLS])
def test_sigkill(recipe, sentbreak, corpus, tmp_path, moment):
    source, out = corpus[0], tmp_path / "out"
    slow = script(tmp_path / "slow", "sleep 0.05; exec SENTBREAK", sentbreak)
    proc = subprocess.Popen([recipe, "--workers", "2", "--sentbreak", slow,
                             "--block-size", "16K", str(source), str(out)],
                            stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    wait_for(lambda: moment[1](out) or proc.poll() is not None)
    proc.kill()
    proc.wait()
    got = tree(out) if out.exists() else {}
    assert {r: d for r, d in got.items() if ".part-" not in r} == {
        r: corpus[1][r] for r in got if ".part-" not in r}
    run(recipe, sentbreak, source, out, "--update", "--block-size", "16K")
    assert tree(out) == corpus[1]


PIECEWISE = [  # the cluster, and what is done after the kill
    ("its own cluster", "local", None),
    ("running cluster, --shared", "shared", None),
    ("workers that cannot see the files", "hidden", None),
    ("the input changed after the kill", "local", "change"),
    ("another program after the kill", "local", "program"),
]


@pytest.mark.parametrize("name, where, then", PIECEWISE,
                         ids=[p[0] for p in PIECEWISE])
def test_pieces_kept(request, recipe, sentbreak, tmp_path, name, where,
                     then):
    source, out, log = tmp_path / "big.txt", tmp_path / "out", tmp_path / "log"
    source.write_bytes(prose(1 << 20))
    program = script(tmp_path / "p", 'echo run >> "%s"; sleep 0.3; '
                     'exec SENTBREAK' % log, sentbreak)
    cluster = ("--workers", "2")
    if where != "local":
        c = request.getfixturevalue("remote" if where == "shared" else where)
        cluster = ("--scheduler", c.address) + (
            ("--shared",) if where == "shared" else ())
    args = [*cluster, "--block-size", "64K", str(source), str(out)]
    proc = subprocess.Popen([recipe, "--sentbreak", program, *args],
                            stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    wait_for(lambda: recorded(tmp_path) >= 6 or proc.poll() is not None)
    proc.kill()
    proc.wait()
    kept = recorded(tmp_path)
    assert 6 <= kept < 16
    if then == "change":
        at_same_size(source, bytes.upper)
    elif then == "program":
        program = script(tmp_path / "q", 'echo run >> "%s"; exec SENTBREAK'
                         % log, sentbreak)
    time.sleep(0.5)  # for what the workers were running to end
    log.write_bytes(b"")
    run(recipe, program, *args[-2:], "--update", *args[:-2], cluster=())
    runs = log.read_bytes().count(b"run")
    assert out.read_bytes() == subprocess.run(
        [sentbreak], input=source.read_bytes(), stdout=subprocess.PIPE).stdout
    checks = 2  # one check of the program for each worker
    assert runs <= 16 - kept + checks if then is None else runs >= 16
    assert parts(tmp_path) == []


def test_each_output_is_synced_before_its_rename(recipe, sentbreak,
                                                 tmp_path):
    source, out, log = tmp_path / "in", tmp_path / "out", tmp_path / "trace"
    for i in range(12):
        (source / str(i % 3)).mkdir(parents=True, exist_ok=True)
        (source / str(i % 3) / ("%d.txt" % i)).write_bytes(prose(3000 + i))
    subprocess.run(["strace", "-f", "-qq", "-y", "-o", str(log), "-e",
                    "trace=openat,pwrite64,write,sendfile,fsync,fdatasync,"
                    "syncfs,rename,renameat,renameat2", recipe, "--workers",
                    "2", "--sentbreak", sentbreak, str(source), str(out)],
                   check=True, capture_output=True, timeout=WAIT)
    written, synced, renamed = {}, [], []
    for n, line in enumerate(open(log, errors="replace")):
        call = re.search(r"(\w+)\((?:\d+<([^>]*)>)?", line)
        if call is None or "= -1" in line:
            continue
        what, path = call.groups()
        if what in ("pwrite64", "write", "sendfile") and path:
            written[path] = n
        elif what in ("fsync", "fdatasync", "syncfs") and path:
            synced.append((n, what, path))
        elif what.startswith("rename") and ".part-" in line:
            names = re.findall(r'"([^"]*)"', line)
            renamed.append((n, names[0], names[1]))
    assert len(renamed) == 12
    for n, part, target in renamed:
        assert any(written.get(part, -1) < m < n and (
            p == part or w == "syncfs" and os.stat(p).st_dev ==
            os.stat(target).st_dev)
            for m, w, p in synced), part
        assert any(m > n and w == "fsync" and p == os.path.dirname(target)
                   for m, w, p in synced), target
