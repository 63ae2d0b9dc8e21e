# SPDX-License-Identifier: MIT
"""The options of the command line, and the checks of what they are
given: a usage error is one line, and exit status 2.
"""

import argparse
import os
import re

from . import SENTBREAK, __version__, cluster
from .modes import TRAVEL
from .program import reason
from .report import PROG

MAX_TIMEOUT = 10**6  # seconds: what every wait of Python's can take


def parse_size(text):
    """Reads a size such as 4096, 64K, 64M or 1G, in powers of 1024."""
    m = re.fullmatch(r"([0-9]+)([KMG]?)", text.strip().upper())
    if not m:
        raise argparse.ArgumentTypeError(
            "not a size: %r (give bytes, or a number and K, M or G, as in "
            "64M)" % text)
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
    p.add_argument("--workers", metavar="N", type=int,
                   help="workers of the cluster in this process (default: "
                   "the number of cores, %d at most)" % cluster.MAX_WORKERS)
    p.add_argument("--sentbreak", metavar="PATH", default="sentbreak",
                   help="the program the workers run (default: sentbreak on "
                   "their PATH)")
    p.add_argument("--block-size", metavar="SIZE", type=parse_size,
                   default=64 << 20,
                   help="cut files larger than SIZE into pieces of about "
                   "SIZE, and of %dM at most where they travel through Dask "
                   "(K, M and G are powers of 1024; default: 64M)"
                   % (TRAVEL >> 20))
    p.add_argument("--compression", choices=("infer", "none"),
                   default="infer",
                   help="infer: decompress inputs ending in .gz, .bz2, .xz "
                   "or .zst, and compress each output the same way; none: "
                   "take every input as it is (default: infer)")
    p.add_argument("--update", action="store_true",
                   help="skip each file whose output is there, as this "
                   "recipe recorded it, made by the same program from the "
                   "same version of its input; take up the finished pieces "
                   "that a killed run left")
    p.add_argument("--shared", action="store_true",
                   help="the workers see INPUT and OUTPUT at the same paths "
                   "as here, and read and write them themselves")
    p.add_argument("--timeout", metavar="SECONDS", type=float,
                   help="fail a piece whose program runs longer, and move "
                   "the work of a worker that falls silent for %g seconds "
                   "more" % cluster.GRACE)
    for name, what in [
            ("ca-file", "the CA that signed the cluster's certificates"),
            ("cert", "this client's certificate"),
            ("key", "this client's private key")]:
        p.add_argument("--tls-" + name, metavar="FILE",
                       help="%s, for a tls:// scheduler" % what)
    p.add_argument("input", metavar="INPUT", help="a file, or a directory "
                   "whose regular files are each run")
    p.add_argument("output", metavar="OUTPUT", help="the output file, or "
                   "the directory it goes in where OUTPUT ends in /; for a "
                   "directory INPUT, the directory the outputs go under, "
                   "outside INPUT")
    return p


def absolute(path):
    """path made absolute, as workers that share the storage need, and
    otherwise as given: a final / says it is a directory, and link/.. is
    where the link leads, not where its name is."""
    return os.path.join(os.getcwd(), path)


def parse_arguments(argv=None):
    p = parser()
    args = p.parse_args(argv)
    if args.scheduler is not None and not args.scheduler.strip():
        p.error("--scheduler needs an address")
    if args.workers is None:
        args.workers = min(os.cpu_count() or 1, cluster.MAX_WORKERS)
    elif not 1 <= args.workers <= cluster.MAX_WORKERS:
        p.error("--workers must be from 1 to %d" % cluster.MAX_WORKERS)
    if args.block_size < 4096:
        p.error("--block-size must be at least 4K")
    if args.timeout is not None and not 0 < args.timeout <= MAX_TIMEOUT:
        p.error("--timeout must be a number of seconds more than 0, and %d "
                "at most" % MAX_TIMEOUT)
    if (args.tls_ca_file or args.tls_cert or args.tls_key) and \
            args.scheduler is None:
        p.error("the --tls- options need --scheduler")
    if "-" in (args.input, args.output):
        p.error("INPUT and OUTPUT are paths, and - is not standard input or "
                "output here: sentbreak itself reads and writes those (a file "
                "named - is ./-)")
    try:
        args.input, args.output = absolute(args.input), absolute(args.output)
    except OSError as e:
        p.error("the working directory: %s" % reason(e))
    return args
