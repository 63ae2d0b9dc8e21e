#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A Dask scheduler and workers on 127.0.0.1, each a process of its own
started in DIR, so that none of them can import the recipe's package: for
the tests, which import it, and for the benchmark, which runs it.

Usage: cluster.py DIR [WORKERS]. It writes the scheduler's address to
DIR/address once the workers have joined, then runs until SIGTERM, when it
stops the workers and then the scheduler.

With tls, the cluster's CA, and one certificate for all, are made in DIR
with openssl, and every connection needs them. With view, each worker runs
in a mount namespace of its own, where a directory is mounted afresh, as
another machine would see it: "hidden" under an empty tmpfs, so that it
sees nothing the client stores there; "overlay", the same files read-only
under another device number; or "bindfs", the same files through FUSE.
"""

import contextlib
import dataclasses
import os
import signal
import subprocess
import sys
import time

WAIT = 60  # seconds for the cluster to come up
VIEWS = {
    "hidden": 'mount -t tmpfs none "$0"',
    "overlay": 'e=$(mktemp -d) && mount -t tmpfs none "$e" && '
    'mount -t overlay overlay -o "lowerdir=$0:$e" "$0"',
    # In the foreground, so that it stops with the worker's group.
    "bindfs": 'bindfs -f "$0" "$0" & until mountpoint -q "$0"; do '
    'sleep 0.05; done',
}


@dataclasses.dataclass
class Cluster:
    address: str
    procs: list
    tls: dict  # the Security keyword arguments, or {}


def certificates(directory):
    """A private CA and one certificate it signs, as files in directory."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=directory, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
           "-nodes"]
    openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem",
            "-days", "30", "-subj", "/CN=sentbreak test CA")
    openssl("req", *key, "-keyout", "node.key", "-out", "node.csr", "-subj",
            "/CN=sentbreak test")
    openssl("x509", "-req", "-in", "node.csr", "-CA", "ca.pem", "-CAkey",
            "ca.key", "-CAcreateserial", "-out", "node.pem", "-days", "30")
    return {k: os.path.join(directory, v) for k, v in [
        ("tls_ca_file", "ca.pem"), ("tls_client_cert", "node.pem"),
        ("tls_client_key", "node.key")]}


def start(directory, workers=2, tls=False, view=None):
    """Starts the cluster; returns it once its workers have joined."""
    from distributed import Client, Security

    info = os.path.join(directory, "scheduler.json")
    sec = certificates(directory) if tls else {}
    flags = ["--tls-ca-file", sec["tls_ca_file"], "--tls-cert",
             sec["tls_client_cert"], "--tls-key",
             sec["tls_client_key"]] if tls else []
    dask = [sys.executable, "-m", "dask"]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    run = dict(cwd=directory, env=env, stdout=subprocess.DEVNULL,
               stderr=subprocess.DEVNULL, start_new_session=True)
    procs = [subprocess.Popen(
        dask + ["scheduler", "--host", "127.0.0.1", "--port", "0",
                "--dashboard-address", "127.0.0.1:0", "--scheduler-file",
                info] + (["--protocol", "tls"] if tls else []) + flags,
        **run)]
    kind, path = view or (None, None)
    seen = ["unshare", "-m", "sh", "-c", VIEWS[kind] + ' && "$@"',
            path] if view else []
    for _ in range(workers):
        procs.append(subprocess.Popen(
            seen + dask + ["worker", "--scheduler-file", info, "--host",
                           "127.0.0.1", "--nthreads", "1", "--no-nanny",
                           "--no-dashboard", "--death-timeout", "60"]
            + flags, **run))
    began = time.monotonic()
    while not os.path.exists(info) and time.monotonic() - began < WAIT:
        time.sleep(0.05)
    security = Security(require_encryption=True, **sec) if tls else None
    with Client(scheduler_file=info, security=security, timeout=WAIT) as c:
        c.wait_for_workers(workers, timeout=WAIT)
        return Cluster(c.scheduler.address, procs, sec)


def stop(cluster):
    """Stops the workers, then the scheduler, each with what it started: a
    worker whose scheduler has gone may wait for it. What does not end in
    10 s is killed."""
    for p in reversed(cluster.procs):
        for signum in (signal.SIGCONT, signal.SIGTERM):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(p.pid, signum)
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        with contextlib.suppress(ProcessLookupError):
            os.killpg(p.pid, signal.SIGKILL)
        p.wait()


def main():
    directory = os.path.abspath(sys.argv[1])
    cluster = start(directory, int(sys.argv[2]) if len(sys.argv) > 2 else 2)
    signal.signal(signal.SIGTERM, lambda *_: stop(cluster) or sys.exit(0))
    with open(os.path.join(directory, "address.new"), "w") as f:
        f.write(cluster.address + "\n")
    os.rename(os.path.join(directory, "address.new"),
              os.path.join(directory, "address"))
    while True:
        signal.pause()


if __name__ == "__main__":
    main()
