#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs the Dask recipe on a scheduler and two workers on 127.0.0.1, then on
its own local cluster, then with a sentbreak that does not exist, and compares
every output with a direct run. Usage: dask_test.py RECIPE SENTBREAK"""

import os
import shutil
import subprocess
import sys
import tempfile

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
    for rel, data in CORPUS.items():
        path = os.path.join(src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        with open(path, "rb") as f:
            want[rel] = subprocess.run([sentbreak], stdin=f, check=True,
                                       stdout=subprocess.PIPE).stdout

    info = os.path.join(tmp, "scheduler.json")
    py = [sys.executable, "-m"]
    servers = [subprocess.Popen(
        py + ["dask", "scheduler", "--host", "127.0.0.1",
              "--port", "0", "--dashboard-address", ":0",
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
        missing = os.path.join(tmp, "no-such-sentbreak")
        runs = [
            ("cluster", ["--scheduler", address, "--sentbreak", sentbreak]),
            ("local", ["--workers", "2", "--sentbreak", sentbreak]),
            ("missing", ["--scheduler", address, "--sentbreak", missing]),
        ]
        for name, args in runs:
            out = os.path.join(tmp, name)
            r = subprocess.run([recipe] + args + [src, out], timeout=240,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            got = tree(out)
            said = r.stderr.decode(errors="replace").splitlines()
            if name != "missing":
                ok = r.returncode == 0 and not said and got == want
            else:
                ok = (r.returncode == 1 and not got
                      and len(said) == len(CORPUS)
                      and all(any(rel in s for s in said) for rel in CORPUS))
            if not ok:
                errors.append("%s: status %d, stderr %r, outputs %r" %
                              (name, r.returncode, said, sorted(got)))
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
