# SPDX-License-Identifier: MIT
"""The command line: sentbreak-dask [options] INPUT OUTPUT.

Exit status 0: every output is byte for byte what `sentbreak < file`
writes. 1: at least one file failed, each named in one line on standard
error, with no output of its own left, old or new; or the run could not
start, or its summary could not be written. 2: a usage error. 128 + the
signal: stopped by SIGHUP, SIGINT, SIGQUIT or SIGTERM, at once, with the
programs it started killed and its .part- files removed.
"""

import contextlib
import importlib.util
import os
import signal
import sys
import tempfile
import time
import traceback

from . import cluster, compressed, parts, program
from .cluster import Cluster, ClusterLost
from .files import Ledger
from .inputs import inputs
from .journal import Journal
from .modes import Sent, Stored
from .options import parse_arguments
from .program import reason
from .report import Refused, Report
from .run import NoWorkerFit, Run

SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM)
NEEDS = {"distributed": "python3-distributed", "psutil": "python3-psutil"}


def reopen_closed():
    """Opens /dev/null on each standard descriptor that is closed, so that
    no file the run opens can take its number; returns those that were."""
    closed = []
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.append(fd)
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    return closed


def stop_handler(outputs, report):
    """A handler for the signals that end a run: it kills the programs
    this process started, with what they started, and removes this run's
    .part- files, whatever the main thread is doing."""
    def kill():
        import psutil

        for child in psutil.Process().children():
            with contextlib.suppress(OSError):
                os.killpg(child.pid, signal.SIGKILL)  # each leads its group

    def stop(signum, frame):
        program.STARTING.lock.acquire()  # and none starts from now on
        kill()
        outputs.remove_all()
        report.say("stopped by", signal.Signals(signum).name)
        os._exit(128 + signum)
    return stop


def require_modules():
    """Says which Debian package holds each module that a run needs and is
    missing."""
    for module, package in NEEDS.items():
        if importlib.util.find_spec(module) is None:
            raise Refused(module, "a Python module that it needs is missing "
                          "(Debian: apt-get install %s)" % package)


def connect(args, report, wait):
    """A client of the cluster that args name, for work that needs no
    package installed on the workers; and how to name its workers."""
    if args.scheduler is None:
        return cluster.local_client(args.workers), lambda a: "this machine"
    client = cluster.remote_client(args, wait)
    import cloudpickle
    # Dask asks for the module of what it sends by its own name.
    for name, module in list(sys.modules.items()):
        if name.partition(".")[0] == __package__:
            cloudpickle.register_pickle_by_value(module)
    if os.isatty(2) and (link := cluster.dashboard_link(client, wait)):
        report.say("dashboard", link)
    return client, lambda a: a


def prepare_output_dir(top, outputs):
    """Makes the directory that the outputs go under, and sees that files
    can be made there."""
    try:
        outputs.makedirs(top)
        tempfile.TemporaryFile(dir=top).close()
    except OSError as e:
        outputs.remove_empty_dirs()
        raise Refused(top, "cannot be written: %s" % reason(e)) from None


def run_files(args, report, outputs):
    """Runs the files that args name; returns the exit status."""
    began = time.monotonic()
    require_modules()
    import psutil  # noqa: F401 (now, not first in a signal's handler)
    files, top = inputs(args.input, args.output, report,
                        compressed.kind(args.compression))
    outputs.inputs = {(f.version.device, f.version.inode) for f in files}
    journal = Journal(args.sentbreak, args.compression)
    journal.keep_out(f.target for f in files)
    outputs.usable = journal.still_usable
    skipped = None
    if args.update:
        skipped = [f for f in files if journal.up_to_date(f.target,
                                                          f.version)]
        files = [f for f in files if f not in skipped]
    prepare_output_dir(top, outputs)
    if skipped and not files:  # nothing to run: no cluster is needed
        report.summary(files, time.monotonic() - began, skipped)
        return 1 if report.failed else 0
    cluster.configure_dask()
    wait = cluster.longest_wait(args.timeout)
    client, label = connect(args, report, wait)
    dask = Cluster(client, wait)
    ledger = Ledger(files, outputs, report, journal, args.update)
    shared = args.scheduler is None or args.shared
    mode = (Stored if shared else Sent)(dask, ledger, args)
    report.progress(sum(f.size for f in files))
    try:
        Run(dask, mode, ledger, report, args, label).run_every_task()
    except ClusterLost as e:
        ledger.fail_unfinished("lost the cluster: %s" % e)
    except NoWorkerFit:
        raise
    except Exception as e:  # a fault of this machine's, not the cluster's
        if cluster.debugging():
            traceback.print_exc()
        ledger.fail_unfinished("failed on this machine: %s: %s" % (
            type(e).__name__, e))
    finally:
        ledger.flush()
        dask.close()
        report.close()
    outputs.remove_strays()
    outputs.remove_empty_dirs(keep=None if report.failed else top)
    report.summary(files, time.monotonic() - began, skipped)
    return 1 if report.failed else 0


def leave(status):
    """Ends this process with status at once: a fetch that Dask's thread
    for callbacks still waits on, bounded as it is, must not hold up the
    end of a run that is over."""
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            stream.flush()
    os._exit(status)


def main(argv=None):
    closed = reopen_closed()
    args = parse_arguments(argv)
    report = Report(closed)
    # Outputs take the umask's mode when they are renamed into place; what
    # the run makes meanwhile, directories included, its owner can write.
    umask = os.umask(0)
    os.umask(umask & ~0o700)
    outputs = parts.Outputs(0o666 & ~umask)
    for signum in SIGNALS:
        signal.signal(signum, stop_handler(outputs, report))
    try:
        return run_files(args, report, outputs)
    except NoWorkerFit:  # each worker has said why
        outputs.remove_all()
        return 1
    except Refused as e:
        outputs.remove_all()
        report.fail(e.what, e.why)
        return 1
    except Exception as e:  # Dask's configuration, say, or a fault of ours
        if cluster.debugging():
            traceback.print_exc()
        outputs.remove_all()
        report.fail("cannot run", "%s: %s" % (type(e).__name__, e))
        return 1
