#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs the Dask recipe on a scheduler and two workers on 127.0.0.1, with and
without shared storage, then on its own local cluster, with files cut into
many pieces, and compares every output with a direct run. Then it runs with a
sentbreak that does not exist, with the input as the output, and with one
worker killed midway. Usage: dask_test.py RECIPE SENTBREAK"""

import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

try:
    from distributed import Client
except ImportError:
    print("Dask (Debian: python3-distributed) is not installed: skipped")
    sys.exit(77)

# The bytes whose handling a line-oriented engine would change.
CORPUS = {
    "crlf.txt": b"One line.\r\nTwo lines.\r\n",
    "cr.txt": b"Old lines. They\rend here.",
    "nul.bin": b"a.\0b\0",
    "ff.bin": b"\xff. \xff",
    "no final newline": b"It ends. Here",
    "after a break.txt": b"Done. ",
    "empty": b"",
    "a b; $(touch x) `id` 'q' \"d\" & | * ?.txt": b"Odd. Name.\n",
    "nested/deeper/in.txt": b"Deep. Down.\n",
}


def large():
    """Files that a block size of 4 KiB cuts into pieces."""
    rng = random.Random(20261208)
    prose = b"".join(open(os.path.join(d, n), "rb").read()
                     for d in ["/usr/share/common-licenses"]
                     for n in sorted(os.listdir(d))
                     if os.path.isfile(os.path.join(d, n)))
    noisy = bytes(rng.choice(b".;!:?,\0\t\n\r \v\xffa")
                  for _ in range(1 << 18))
    return {
        "big/prose.txt": (prose * 4)[:1 << 20],
        "big/noisy.bin": noisy,
        "big/no break.txt": (b"no break here, " * 5000)[:1 << 16],
        "big/ends with a break.txt": (prose * 2)[:1 << 16] + b" End.\n",
        "big/one block": (b"x. " * 2000)[:4096],
        "big/one block and a byte": (b"x. " * 2000)[:4096] + b".",
    }


def tree(top):
    """Every file under top, hidden ones too, by relative path."""
    found = {}
    for root, _, names in os.walk(top):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, top)] = f.read()
    return found


def main():
    recipe, sentbreak = sys.argv[1:3]
    tmp = tempfile.mkdtemp()
    src = os.path.join(tmp, "in")
    want = {}
    files = dict(CORPUS, **large())
    for rel, data in files.items():
        path = os.path.join(src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        with open(path, "rb") as f:
            want[rel] = subprocess.run([sentbreak], stdin=f, check=True,
                                       stdout=subprocess.PIPE).stdout
    big = {rel[4:]: out for rel, out in want.items() if rel.startswith("big/")}
    # A sentbreak slow enough for a worker to be killed while it works.
    slow = os.path.join(tmp, "slow")
    with open(slow, "w") as f:
        f.write("#!/bin/sh\nsleep 0.02\nexec '%s' \"$@\"\n" % sentbreak)
    os.chmod(slow, 0o755)

    info = os.path.join(tmp, "scheduler.json")
    py = [sys.executable, "-m"]
    servers = [subprocess.Popen(
        py + ["dask", "scheduler", "--host", "127.0.0.1",
              "--port", "0", "--dashboard-address", "127.0.0.1:0",
              "--scheduler-file", info],
        stderr=subprocess.DEVNULL)]
    for _ in range(2):
        servers.append(subprocess.Popen(
            py + ["dask", "worker", "--scheduler-file", info,
                  "--host", "127.0.0.1", "--nthreads", "1", "--no-nanny",
                  "--no-dashboard", "--death-timeout", "60"],
            stderr=subprocess.DEVNULL))
    errors = []
    try:
        with Client(scheduler_file=info, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            address = client.scheduler.address
        cluster = ["--scheduler", address, "--block-size", "4K"]
        missing = os.path.join(tmp, "no-such-sentbreak")
        # Name, arguments, input, and the outputs wanted: None for one
        # failure line per input file and no output at all.
        runs = [
            ("cluster", cluster + ["--sentbreak", sentbreak], src, want),
            ("shared", cluster + ["--shared", "--sentbreak", sentbreak], src,
             want),
            ("local", ["--workers", "2", "--block-size", "4K",
                       "--sentbreak", sentbreak], src, want),
            ("missing", cluster + ["--sentbreak", missing], src, None),
            ("input is output", ["--sentbreak", sentbreak], src, {}),
            ("killed worker", cluster + ["--sentbreak", slow],
             os.path.join(src, "big"), big),
        ]
        for name, args, inp, wanted in runs:
            out = inp if name == "input is output" else os.path.join(tmp, name)
            proc = subprocess.Popen([recipe] + args + [inp, out],
                                    stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE)
            killed = name == "killed worker"
            if killed:
                while not os.path.isdir(out) or not os.listdir(out):
                    time.sleep(0.05)
                time.sleep(0.5)
                killed = proc.poll() is None  # still running, as it must be
                servers[2].send_signal(signal.SIGKILL)
            said = proc.communicate(timeout=240)[1].decode(
                errors="replace").splitlines()
            got = tree(out)
            if wanted is None:
                ok = (proc.returncode == 1 and not got
                      and len(said) == len(files)
                      and all(any(rel in s for s in said) for rel in files))
            elif name == "input is output":
                ok = proc.returncode == 1 and len(said) == 1 and tree(src) == {
                    rel: data for rel, data in files.items()}
            else:
                ok = (proc.returncode == 0 and not said and got == wanted
                      and killed == (name == "killed worker"))
            if not ok:
                errors.append("%s: status %d, stderr %r, outputs %r" % (
                    name, proc.returncode, said[:5],
                    sorted(r for r in got if got[r] != wanted.get(r))
                    if wanted else sorted(got)))
    finally:
        # Workers first: one whose scheduler has gone may wait for it.
        for p in reversed(servers):
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(tmp)
    for e in errors:
        print("FAIL " + e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
