# SPDX-License-Identifier: MIT
"""The command line: sentbreak-dask [options] INPUT OUTPUT.

Exit status 0: every output is byte for byte what `sentbreak < file`
writes. 1: at least one file failed, each named in one line on standard
error, with no output of its own left, old or new; or the run could not
start. 2: a usage error. 130 or 143: stopped by SIGINT or SIGTERM, at once,
with the programs it started killed and its .part- files removed.
"""

import argparse
import contextlib
import math
import os
import re
import signal
import sys
import time

from . import SENTBREAK, __version__, cluster, parts, worker
from .cut import MIN_PIECE
from .inputs import inputs
from .report import PROG, Report
from .pieces import Pieces
from .run import Run, block, describe


def size(text):
    """Reads a size such as 4096, 64K, 64M or 1G, in powers of 1024."""
    m = re.fullmatch(r"([0-9]+)([KMG]?)", text.strip().upper())
    if not m:
        raise argparse.ArgumentTypeError("not a size: %r" % text)
    return int(m.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[m.group(2)]


def parser():
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Run sentbreak over the file INPUT, or over every "
        "regular file under the directory INPUT, on a Dask cluster, writing "
        "each output to OUTPUT or to the same relative path under it.")
    p.add_argument("--version", action="version", version="%s %s (sentbreak "
                   "%s)" % (PROG, __version__, SENTBREAK))
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="use the Dask cluster whose scheduler is at ADDRESS "
                   "(default: a cluster in this process)")
    p.add_argument("--workers", metavar="N", type=int, default=os.cpu_count(),
                   help="workers of the cluster in this process (default: "
                   "the number of cores; at most %d)" % cluster.MAX_WORKERS)
    p.add_argument("--sentbreak", metavar="PATH", default="sentbreak",
                   help="the program the workers run (default: sentbreak on "
                   "their PATH)")
    p.add_argument("--block-size", metavar="SIZE", type=size, default=64 << 20,
                   help="cut files larger than SIZE into pieces of about "
                   "SIZE, and of 16M at most where they travel through Dask "
                   "(K, M and G are powers of 1024; default: 64M)")
    p.add_argument("--shared", action="store_true",
                   help="the workers see INPUT and OUTPUT at the same paths "
                   "as here, and read and write them themselves")
    p.add_argument("--timeout", metavar="SECONDS", type=float,
                   help="fail a file whose program runs longer on a piece, "
                   "and send a piece elsewhere once its worker has not "
                   "answered for 5 seconds more")
    for name, what in [
            ("ca-file", "the CA that signed the cluster's certificates"),
            ("cert", "this client's certificate"),
            ("key", "this client's private key")]:
        p.add_argument("--tls-" + name, metavar="FILE",
                       help="%s, for a tls:// scheduler" % what)
    p.add_argument("input", metavar="INPUT")
    p.add_argument("output", metavar="OUTPUT")
    return p


def arguments(argv=None):
    p = parser()
    args = p.parse_args(argv)
    if args.scheduler is not None and not args.scheduler.strip():
        p.error("--scheduler needs an address")
    if not 1 <= args.workers <= cluster.MAX_WORKERS:
        p.error("--workers must be from 1 to %d" % cluster.MAX_WORKERS)
    if args.block_size < MIN_PIECE:
        p.error("--block-size must be at least 4K")
    if args.timeout is not None and not 0 < args.timeout < math.inf:
        p.error("--timeout must be a number of seconds more than 0")
    tls = args.tls_ca_file or args.tls_cert or args.tls_key
    if tls and args.scheduler is None:
        p.error("the --tls- options need --scheduler")
    # Workers that share the storage need paths that hold anywhere.
    try:
        args.input = os.path.abspath(args.input)
        args.output = os.path.abspath(args.output)
    except OSError as e:
        p.error("the working directory: %s" % e.strerror)
    return args


def stopper(outputs, report):
    """A handler for SIGINT and SIGTERM that ends the run at once: it kills
    the programs this process started, with what they started, and removes
    this run's .part- files, whatever the main thread is doing."""
    def kill():
        import psutil

        for child in psutil.Process().children():
            with contextlib.suppress(OSError):
                os.killpg(child.pid, signal.SIGKILL)  # each leads its group

    def stop(signum, frame):
        kill()
        outputs.abandon()
        kill()  # one started meanwhile
        report.line("stopped by", signal.Signals(signum).name)
        os._exit(128 + signum)
    return stop


def connect(args, report):
    """A client of the cluster that args name, for work that needs no
    package installed on the workers."""
    if args.scheduler is None:
        return cluster.local(args.workers)
    client = cluster.remote(args)
    import cloudpickle
    # Dask asks for the module of what it sends by its own name.
    for module in (sys.modules[__package__], worker):
        cloudpickle.register_pickle_by_value(module)
    if sys.stderr.isatty() and (link := cluster.dashboard(client)):
        report.line("dashboard", link)
    return client


def start(args, report, outputs):
    """Runs the files that args name; returns the exit status."""
    began = time.monotonic()
    found = inputs(args.input, args.output, report, outputs)
    if found is None:
        return 1
    files, top = found
    cluster.setup()
    try:
        client = connect(args, report)
    except cluster.Refused as e:
        outputs.tidy()
        report.fail(args.scheduler, e)
        return 1
    report.progress(sum(f.size for f in files))
    shared = args.scheduler is None or args.shared
    pieces = Pieces(files, block(args, shared), shared, outputs, report)
    with client.cluster or contextlib.nullcontext(), client:
        try:
            Run(client, args, pieces, shared).go()
        except Exception as e:  # the cluster lost, as a rule
            pieces.abandon("lost the cluster: %s" % (
                e if isinstance(e, OSError) else describe(e)))
    report.close()
    outputs.tidy(keep=None if report.failed else top)
    report.summary(files, time.monotonic() - began)
    return 1 if report.failed else 0


def main(argv=None):
    args = arguments(argv)
    report = Report()
    umask = os.umask(0)
    os.umask(umask)
    outputs = parts.Outputs(0o666 & ~umask)
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, stopper(outputs, report))
    try:
        return start(args, report, outputs)
    except Exception as e:  # Dask's configuration, say, or a fault of ours
        outputs.abandon()
        report.close()
        report.fail("cannot run", describe(e))
        return 1
