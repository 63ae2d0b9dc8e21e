# SPDX-License-Identifier: MIT
"""The recipe run end to end, on its own cluster and on running ones: each
output is byte for byte sentbreak's, or its file fails with one line and
leaves nothing; under faults too."""

import contextlib
import dataclasses
import functools
import http.server
import os
import signal
import socket
import ssl
import stat
import subprocess
import threading
import time

import psutil
import pytest

import cluster
from conftest import prose, tree, write
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


def freeze(proc, source, out, c):
    begun(out)
    os.killpg(c.procs[0].pid, signal.SIGSTOP)


def opens_no_port(proc, source, out, c):
    begun(out)
    assert psutil.Process(proc.pid).connections("inet") == []


def stop(signum, proc, source, out, c):
    begun(out)
    proc.send_signal(signum)


def block(out, want):
    os.makedirs(out)
    open(os.path.join(out, "nested"), "w").close()
    return {"nested": b""}  # left as it was


def stale(out, want):
    """Old outputs at every path, which a failed file must not leave."""
    write(out, {rel: b"old" for rel in want})
    return {}


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
    refused: bool = False  # the run does not start: one line, no output
    warns: str = None  # one line said, and exit status 1, though every
    # file is written
    single: int = None  # a file of this many bytes is the input instead
    source: str = None  # or this file
    many: int = None  # or a directory of this many small files
    full: bool = False  # the output is on a tmpfs of 500 KB
    status: int = None  # where a signal stops the run
    block: str = "4K"
    timeout: str = None
    called: str = "in.txt"  # the single input
    closed: tuple = ()  # standard descriptors closed, or "pipe": stderr
    # a pipe that nobody reads
    after: float = 0  # seconds to wait after the run before looking


# Runs sentbreak itself when checked, so that the rest is run on real work:
# it looks at its input from where it stands, without reading it.
PASSES = ('at=$(sed -n "s/^pos:\\s*//p" /proc/$$/fdinfo/0); '
          'if [ "$(tail -c +$((at + 1)) /dev/stdin | head -c 21)" = '
          '"sentbreak-dask probe." ]; then exec SENTBREAK; fi; ')
SLOW = "sleep 0.05; exec SENTBREAK"
# Out of the program's process group before the program ends.
LATE_WRITER = ("setsid sh -c 'sleep 1; printf XXXX | dd of=/dev/stdout "
               "conv=notrunc 2>/dev/null' & sleep 0.1; exec SENTBREAK")
ROWS = [
    Row("running cluster"),
    Row("running cluster, --shared", "shared"),
    Row("its own cluster", "local"),
    Row("TLS, with the options", "tls"),
    Row("TLS, with Dask's configuration", "tls-config"),
    Row("workers that cannot see the files", "hidden", block="64K"),
    Row("--shared where the workers cannot see the files", "hidden-shared",
        fails="No such file or directory"),
    Row("--shared, the files seen through an overlay", "overlay-shared"),
    Row("--shared, the files seen through FUSE", "bindfs-shared"),
    Row("a program that fails once", block="64K", program=PASSES +
        'mkdir "$0.once" 2>/dev/null && { echo once >&2; exit 3; }; '
        'exec SENTBREAK'),
    Row("a program that writes too much once, --shared", "shared",
        single=5000, block="64K", program=PASSES + 'mkdir "$0.once" '
        '2>/dev/null && { SENTBREAK; echo more; exit; }; exec SENTBREAK'),
    Row("a program that writes too little", program=PASSES + "head -c 100",
        fails="wrote"),
    Row("a program that writes too little, --shared", "shared",
        program=PASSES + "head -c 100", fails="wrote"),
    Row("a flooded standard error", "local", program=PASSES + "head -c "
        "300000 /dev/zero >&2; printf '\\033]0;title\\007last words\\n' >&2;"
        " exit 1", fails="\\x1b]0;title\\x07last words"),
    Row("a missing program", program="no-such-sentbreak", refused=True,
        fails="No such file or directory (looked for on PATH="),
    Row("another program, its output upper-cased", program="SENTBREAK | "
        "tr a-z A-Z", refused=True, fails="gives the wrong output"),
    Row("an input replaced during the run", program=SLOW, during=replace,
        single=1 << 20, block="64K", fails="changed during the run"),
    Row("an input replaced during the run, --shared", "shared", program=SLOW,
        during=replace, single=1 << 20, block="64K",
        fails="changed during the run"),
    Row("an input rewritten in place, its mtime set back", program=SLOW,
        during=rewrite, single=1 << 20, block="64K",
        fails="changed during the run"),
    Row("an input whose size lies", source="/proc/version",
        fails="is not where it ends"),
    Row("an input whose size lies, its own cluster", "local",
        source="/proc/version", fails="is not where it ends"),
    Row("an input named as a stale .part- file", single=5000,
        called=".part-%s-999999-abcdefgh" % socket.gethostname()),
    Row("a program that leaves a writer behind", "local", single=1 << 20,
        block="64K", program="(sleep 0.5; printf X) & exec SENTBREAK"),
    Row("a writer that leaves its group and writes later", "local",
        program=LATE_WRITER, single=5000, after=1.5),
    Row("a program that writes without end", "local", single=1000,
        full=True, program=PASSES + "cat >/dev/null; exec yes",
        fails="wrote more than"),
    Row("a last line of bytes that are not UTF-8", "local",
        program=PASSES + "head -c 5000 /dev/zero | tr '\\0' '\\377' >&2; "
        "exit 1", fails="\\xff\\xff"),
    Row("a file where an output directory must go", before=block,
        block="64K", fails="not a directory", only=("nested/deeper/in.txt",)),
    Row("a full disk", single=1 << 20, full=True, block="64M",
        fails="No space left on device"),
    Row("a full disk, its own cluster", "local", single=1 << 20, full=True,
        fails="No space left on device"),
    Row("a killed worker", "doomed", program=SLOW, during=kill,
        single=1 << 20, block="64K"),
    Row("a frozen scheduler", "doomed", program=SLOW, during=freeze,
        single=1 << 20, block="64K", timeout="2",
        fails="the scheduler gave no answer"),
    Row("a task of many files, each within --timeout", many=20,
        program=PASSES + "sleep 0.4; exec SENTBREAK", timeout="1"),
    Row("its own cluster, no port open", "local", program=SLOW,
        during=opens_no_port, single=1 << 20, block="64K"),
    Row("standard error closed", "local", closed=(2,), single=5000),
    Row("standard output closed", "local", closed=(1,), single=5000,
        warns="standard output: Bad file descriptor"),
    Row("standard error a pipe nobody reads, old outputs", "local",
        program=PASSES + "exit 1", before=stale, closed="pipe", fails=""),
] + [
    Row(signal.Signals(signum).name, "local", during=functools.partial(
        stop, signum), program=PASSES + "sleep 60; exec SENTBREAK",
        status=128 + signum)
    for signum in (signal.SIGHUP, signal.SIGQUIT, signal.SIGTERM)
] + [
    Row("SIGINT, running cluster", "shared", program=SLOW,
        during=functools.partial(stop, signal.SIGINT), status=130),
    Row("SIGTERM, standard error a pipe nobody reads", "local",
        program=PASSES + "sleep 60; exec SENTBREAK", closed="pipe",
        during=functools.partial(stop, signal.SIGTERM), status=143),
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


def inputs(row, tmp_path, sentbreak, corpus):
    """The run's INPUT, and the output that each file under it must have."""
    source, want = corpus
    if row.single or row.many:
        source = tmp_path / row.called
        files = {"": prose(row.single)} if row.single else {
            "%d.txt" % i: prose(3000 + i) for i in range(row.many)}
        write(source, files) if row.many else source.write_bytes(files[""])
    elif row.source:
        source, files = row.source, {"": open(row.source, "rb").read()}
    else:
        return source, want
    return source, {rel: subprocess.run([sentbreak], input=data, check=True,
                                        stdout=subprocess.PIPE).stdout
                    for rel, data in files.items()}


def command(row, recipe, args, source, out):
    """The run's command line, and where its outputs are."""
    cmd = [recipe, *args, str(source)]
    if row.full:
        if subprocess.run(["unshare", "-m", "true"]).returncode:
            pytest.skip("needs mount namespaces (unshare -m, as root)")
        os.makedirs(out)
        cmd = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o size=500k '
               'none "$0" && exec "$@"', out] + cmd
        out = os.path.join(out, "o")
    return cmd + [out], out


def launch(row, cmd, env):
    """Starts the run, with its standard descriptors as the row has them."""
    def shut():
        for fd in row.closed:
            os.close(fd)
    stderr = subprocess.PIPE
    if row.closed == "pipe":
        reader, stderr = os.pipe()
        os.close(reader)
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=stderr,
                            env=dict(os.environ, **env), preexec_fn=shut
                            if row.closed and row.closed != "pipe" else None)
    if row.closed == "pipe":
        os.close(stderr)
    return proc


@pytest.mark.parametrize("row", ROWS, ids=[r.name for r in ROWS])
def test_run(request, recipe, sentbreak, corpus, tmp_path, row):
    args, env, c = reach(request, row.where)
    program = sentbreak
    if row.program and " " in row.program:
        program = str(tmp_path / "program")
        with open(program, "w") as f:
            f.write("#!/bin/sh\n%s\n"
                    % row.program.replace("SENTBREAK", sentbreak))
        os.chmod(program, 0o755)
    elif row.program:
        program = row.program  # not on the PATH
    args += ["--sentbreak", program, "--block-size", row.block]
    args += ["--timeout", row.timeout] if row.timeout else []
    source, want = inputs(row, tmp_path, sentbreak, corpus)
    out = str(tmp_path / "out")
    if row.before:
        want = dict(want, **row.before(out, want))
    cmd, out = command(row, recipe, args, source, out)
    proc = launch(row, cmd, env)
    if row.during:
        row.during(proc, str(source), out, c)
    try:
        said = proc.communicate(timeout=WAIT)[1]
    except subprocess.TimeoutExpired:
        proc.terminate()  # which stops what it started
        proc.communicate()
        raise
    said = said.decode().splitlines() if said is not None else None
    time.sleep(row.after)
    got = tree(out) if os.path.isdir(out) else (
        {"": open(out, "rb").read()} if os.path.exists(out) else {})
    if row.status:
        assert (proc.returncode, got) == (row.status, {})
        assert said in (None, ["sentbreak-dask: stopped by: %s"
                               % signal.Signals(row.status - 128).name])
        assert row.where != "local" or not [
            p for p in psutil.process_iter(["cmdline"])
            if program in " ".join(p.info["cmdline"] or [])]
        return
    if row.refused:
        assert proc.returncode == 1 and len(said) == 1 and row.fails in said[0]
        assert got == {} and program in said[0] and "--sentbreak" in said[0]
        return
    failed = set(row.only or want) if row.fails is not None else set()
    assert got == {r: w for r, w in want.items() if r not in failed}
    assert proc.returncode == (1 if failed or row.warns else 0)
    if said is None:
        return
    assert len(said) == len(failed) + bool(row.warns)
    assert not row.warns or row.warns in said[-1]
    for rel in failed:
        name = escape(os.fsencode(os.path.join(source, rel) if rel
                                  else source))
        assert any(s.startswith("sentbreak-dask: %s: " % name)
                   and row.fails in s for s in said), (rel, said)
    assert row.before or not failed or not os.path.exists(out)


@pytest.fixture
def http_server():
    """A server that answers HTTP, on 127.0.0.1."""
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), http.server.SimpleHTTPRequestHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield "tcp://127.0.0.1:%d" % server.server_port
    server.shutdown()


@pytest.fixture
def expired_tls(tls, tmp_path):
    """A TLS server on 127.0.0.1 whose certificate, from the cluster's CA,
    has expired; and that certificate, with its key."""
    cert = expired(tls.tls, tmp_path)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert["tls_client_cert"], cert["tls_client_key"])
    server = socket.create_server(("127.0.0.1", 0))

    def serve():
        with contextlib.suppress(OSError):
            while True:
                conn, _ = server.accept()
                with contextlib.suppress(OSError), conn:
                    ctx.wrap_socket(conn, server_side=True).close()
    threading.Thread(target=serve, daemon=True).start()
    yield "tls://127.0.0.1:%d" % server.getsockname()[1], cert
    server.close()


def expired(ca, directory):
    """A certificate signed by the CA of ca, which expired a day ago."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=directory, check=True,
                       capture_output=True)
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-keyout", "old.key", "-out", "old.csr", "-subj",
            "/CN=expired")
    openssl("x509", "-req", "-in", "old.csr", "-CA", ca["tls_ca_file"],
            "-CAkey", os.path.join(os.path.dirname(ca["tls_ca_file"]),
                                   "ca.key"), "-CAcreateserial", "-out",
            "old.pem", "-days", "-1")
    return dict(ca, tls_client_cert=str(directory / "old.pem"),
                tls_client_key=str(directory / "old.key"))


def test_refusals(recipe, corpus, remote, tls, http_server, expired_tls,
                  tmp_path):
    other = cluster.certificates(str(tmp_path))
    mine, paths = tls.tls, [str(corpus[0]), str(tmp_path / "out")]
    old_server, old = expired_tls
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)

    def certs(ca, cert, where=tls.address):
        return ["--scheduler", where, "--tls-ca-file", ca["tls_ca_file"],
                "--tls-cert", cert["tls_client_cert"], "--tls-key",
                cert["tls_client_key"], *paths]
    mounted = tmp_path / "mounted"
    mounted.mkdir()
    rows = [
        ([str(corpus[0])] * 2, "is the output too"),
        ([str(corpus[0]), str(corpus[0] / "nested" / "sent")],
         "lies inside INPUT"),
        (["unshare", "-m", "sh", "-c",
          'mount --bind "$0" "$1" && shift && exec "$@"',
          str(corpus[0] / "nested"), str(mounted), recipe, str(corpus[0]),
          str(mounted / "sent")], "lies inside INPUT"),  # through a mount
        (["--scheduler", tls.address, *paths], "a tls:// address needs"),
        (certs(mine, other), "does not trust the certificate"),
        (certs(other, mine), "is not signed by the CA"),
        (certs(mine, old), "refuses the certificate of --tls-cert: it has "
         "expired"),
        (certs(mine, mine, old_server), "certificate has expired"),
        (["--scheduler", tls.address.replace("tls:", "tcp:"), *paths],
         "speaks TLS: give its tls:// address"),
        (certs(mine, mine, remote.address.replace("tcp:", "tls:")),
         "speaks plain TCP"),
        (["--scheduler", http_server, *paths], "not a Dask scheduler: it "
         "answers HTTP"),
        (certs({"tls_ca_file": "/nonexistent"}, mine),
         "/nonexistent: cannot read it: No such file"),
        (certs(mine, dict(mine, tls_client_key=other["tls_client_key"])),
         "cannot use the certificates: the key is not the certificate's"),
        (certs(mine, mine, remote.address), "TLS is required"),
        (["--scheduler", "localhost", *paths], "missing port"),
        (["--timeout", "1", "--scheduler", "tcp://127.0.0.1:1", *paths],
         "cannot reach the scheduler: Connection refused"),
        (["--scheduler", "tcp://[::1", *paths], "not an address"),
        (["--scheduler", "inproc://x", *paths], "not an address"),
        ([str(corpus[0] / "crlf.txt"), fifo], "is not a regular file"),
    ]
    if subprocess.run(["unshare", "-m", "true"]).returncode:
        rows = [row for row in rows if row[0][0] != "unshare"]
    for args, words in rows:
        cmd = args if args[0] == "unshare" else [recipe, *args]
        proc = subprocess.run(cmd, capture_output=True, timeout=WAIT)
        said = proc.stderr.decode().splitlines()
        assert proc.returncode == 1 and len(said) == 1 and words in said[0], \
            (args, said)
        assert not os.path.exists(tmp_path / "out")
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
