# SPDX-License-Identifier: MIT
"""The recipe run end to end, on its own cluster and on running ones: each
output is byte for byte sentbreak's, or its file fails with one line and
leaves nothing; under faults too."""

import dataclasses
import functools
import os
import signal
import socket
import stat
import subprocess
import time

import psutil
import pytest

import cluster
from conftest import prose, tree
from sentbreak_dask.report import escape

WAIT = 240  # for any one run


def begun(out):
    """Waits until the run writing out has made a .part- file."""
    began = time.monotonic()
    while time.monotonic() - began < WAIT and not any(
            ".part-" in name for _, _, names in os.walk(os.path.dirname(out))
            for name in names):
        time.sleep(0.01)


def replace(proc, source, out, c):
    begun(out)
    with open(source + ".new", "wb") as f:
        f.write(prose(os.path.getsize(source))[::-1])
    os.replace(source + ".new", source)


def rewrite(proc, source, out, c):
    """Changes the input in place, and sets its mtime back."""
    begun(out)
    st = os.stat(source)
    with open(source, "r+b") as f:
        text = f.read()
        f.seek(0)
        f.write(text.upper())
    os.utime(source, ns=(st.st_atime_ns, st.st_mtime_ns))


def kill(proc, source, out, c):
    begun(out)
    time.sleep(0.5)
    c.procs[2].kill()


def opensnothing(proc, source, out, c):
    begun(out)
    assert psutil.Process(proc.pid).connections("inet") == []


def stop(signum, proc, source, out, c):
    begun(out)
    proc.send_signal(signum)


def block(out):
    os.makedirs(out)
    open(os.path.join(out, "nested"), "w").close()
    return {"nested": b""}  # left as it was


@dataclasses.dataclass
class Row:
    name: str
    where: str = "remote"  # the cluster, and how the recipe reaches it
    program: str = None  # the body of a shell script run instead
    during: object = None  # done to the run as it goes
    before: object = None  # done to the output's path first, giving
    # what must be left there
    fails: str = None  # the words of each file's failure; None: none fail
    only: tuple = None  # the files that fail, where not all do
    single: str = None  # a file of this many bytes is the input instead
    full: bool = False  # the output is on a tmpfs of 500 KB
    status: int = None  # where a signal stops the run
    block: str = "4K"
    called: str = "in.txt"  # the single input


SLOW = "sleep 0.05; exec SENTBREAK"
ROWS = [
    Row("running cluster"),
    Row("running cluster, --shared", "shared"),
    Row("its own cluster", "local"),
    Row("TLS, with the options", "tls"),
    Row("TLS, with Dask's configuration", "tls-config"),
    Row("workers that cannot see the files", "hidden"),
    Row("--shared where the workers cannot see the files", "hidden-shared",
        fails="No such file or directory"),
    Row("a program that fails once", program='mkdir "$0.once" 2>/dev/null '
        '&& { echo once >&2; exit 3; }; exec SENTBREAK'),
    Row("a program that writes too little", program="head -c 100",
        fails="wrote"),
    Row("a program that writes too little, --shared", "shared",
        program="head -c 100", fails="wrote"),
    Row("a flooded standard error", "local", program="head -c 300000 "
        "/dev/zero >&2; printf '\\033]0;title\\007last words\\n' >&2; exit 1",
        fails="\\x1b]0;title\\x07last words"),
    Row("a missing program", program="", fails="No such file or directory"),
    Row("an input replaced during the run", program=SLOW, during=replace,
        single=1 << 20, block="64K", fails="changed during the run"),
    Row("an input replaced during the run, --shared", "shared", program=SLOW,
        during=replace, single=1 << 20, block="64K",
        fails="changed during the run"),
    Row("an input rewritten in place, its mtime set back", program=SLOW,
        during=rewrite, single=1 << 20, block="64K",
        fails="changed during the run"),
    Row("an input named as a stale .part- file", single=5000,
        called=".part-%s-999999-abcdefgh" % socket.gethostname()),
    Row("a program that leaves a writer behind", "local",
        program="(sleep 0.5; printf X) & exec SENTBREAK"),
    Row("a program that writes without end", "local", single=1000,
        full=True, program="cat >/dev/null; exec yes",
        fails="wrote more than"),
    Row("a last line of bytes that are not UTF-8", "local",
        program="head -c 5000 /dev/zero | tr '\\0' '\\377' >&2; exit 1",
        fails="\\xff\\xff"),
    Row("a file where an output directory must go", before=block,
        fails="not a directory", only=("nested/deeper/in.txt",)),
    Row("a full disk", single=1 << 20, full=True, block="64M",
        fails="No space left on device"),
    Row("a full disk, its own cluster", "local", single=1 << 20, full=True,
        fails="No space left on device"),
    Row("a killed worker", "doomed", program=SLOW, during=kill,
        single=1 << 20, block="64K"),
    Row("no port opened", "local", program=SLOW, during=opensnothing),
    Row("SIGTERM", "local", program="sleep 60; exec SENTBREAK",
        during=functools.partial(stop, signal.SIGTERM), status=143),
    Row("SIGINT, running cluster", "shared", program=SLOW,
        during=functools.partial(stop, signal.SIGINT), status=130),
]


def reach(request, where):
    """The options that reach the cluster named, the environment, and the
    cluster."""
    if where == "local":
        return ["--workers", "2"], {}, None
    c = request.getfixturevalue(where.split("-")[0].replace("shared",
                                                            "remote"))
    args = ["--scheduler", c.address] + (["--shared"] if "shared" in where
                                         else [])
    tls = [("ca_file", "--tls-ca-file", "tls_ca_file"),
           ("client__cert", "--tls-cert", "tls_client_cert"),
           ("client__key", "--tls-key", "tls_client_key")]
    if where == "tls":
        args += [x for _, option, key in tls for x in (option, c.tls[key])]
    env = {"DASK_DISTRIBUTED__COMM__TLS__" + name.upper(): c.tls[key]
           for name, _, key in tls} if where == "tls-config" else {}
    return args, env, c


@pytest.mark.parametrize("row", ROWS, ids=[r.name for r in ROWS])
def test_run(request, recipe, sentbreak, corpus, tmp_path, row):
    source, want = corpus
    args, env, c = reach(request, row.where)
    program = tmp_path / ("program" if row.program else "missing")
    if row.program:
        program.write_text("#!/bin/sh\n%s\n"
                           % row.program.replace("SENTBREAK", sentbreak))
        program.chmod(0o755)
    args += ["--sentbreak", sentbreak if row.program is None else str(program),
             "--block-size", row.block]
    if row.single:
        source = tmp_path / row.called
        source.write_bytes(prose(row.single))
        want = {"": subprocess.run([sentbreak], stdin=source.open(),
                                   stdout=subprocess.PIPE).stdout}
    out = str(tmp_path / "out")
    if row.before:
        want = dict(want, **row.before(out))
    cmd = [recipe, *args, str(source)]
    if row.full:
        if subprocess.run(["unshare", "-m", "true"]).returncode:
            pytest.skip("needs mount namespaces (unshare -m, as root)")
        os.makedirs(out)
        cmd = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o size=500k '
               'none "$0" && exec "$@"', out] + cmd
        out = os.path.join(out, "o")
    cmd.append(out)
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE,
                            env=dict(os.environ, **env))
    if row.during:
        row.during(proc, str(source), out, c)
    try:
        said = proc.communicate(timeout=WAIT)[1].decode().splitlines()
    except subprocess.TimeoutExpired:
        proc.terminate()  # which stops what it started
        proc.communicate()
        raise
    got = tree(out) if os.path.isdir(out) else (
        {"": open(out, "rb").read()} if os.path.exists(out) else {})
    if row.status:
        assert (proc.returncode, got) == (row.status, {})
        assert said == ["sentbreak-dask: stopped by: %s" % signal.Signals(
            row.status - 128).name]
        assert row.where != "local" or not [
            p for p in psutil.process_iter(["cmdline"])
            if str(program) in " ".join(p.info["cmdline"] or [])]
        return
    failed = set(row.only or want) if row.fails else set()
    assert got == {r: w for r, w in want.items() if r not in failed}
    assert proc.returncode == (1 if failed else 0)
    assert len(said) == len(failed)
    for rel in failed:
        name = escape(os.fsencode(os.path.join(source, rel) if rel
                                  else source))
        assert any(s.startswith("sentbreak-dask: %s: " % name)
                   and row.fails in s for s in said), (rel, said)
    assert row.only or not failed or not os.path.exists(out)


def test_refusals(recipe, corpus, remote, tls, tmp_path):
    other = cluster.certificates(str(tmp_path))
    mine, paths = tls.tls, [str(corpus[0]), str(tmp_path / "out")]
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)

    def certs(ca, cert):
        return ["--scheduler", tls.address, "--tls-ca-file", ca["tls_ca_file"],
                "--tls-cert", cert["tls_client_cert"], "--tls-key",
                cert["tls_client_key"], *paths]
    rows = [
        ([str(corpus[0])] * 2, "is the output too"),
        (["--scheduler", tls.address, *paths], "a tls:// address needs"),
        (certs(mine, other), "does not trust the certificate"),
        (certs(other, mine), "is not signed by the CA"),
        (["--scheduler", tls.address.replace("tls:", "tcp:"), *paths],
         "does not answer plain TCP"),
        (certs(mine, mine)[:1] + [remote.address.replace("tcp:", "tls:")]
         + certs(mine, mine)[2:], "speaks plain TCP"),
        (certs({"tls_ca_file": "/nonexistent"}, mine),
         "cannot use the certificates"),
        (["--scheduler", "tcp://[::1", *paths], "not an address"),
        ([str(corpus[0] / "crlf.txt"), fifo], "is not a regular file"),
    ]
    for args, words in rows:
        proc = subprocess.run([recipe, *args], capture_output=True,
                              timeout=WAIT)
        said = proc.stderr.decode().splitlines()
        assert proc.returncode == 1 and len(said) == 1 and words in said[0]
        assert not os.path.exists(tmp_path / "out")
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
