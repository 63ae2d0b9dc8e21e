# SPDX-License-Identifier: MIT
"""One run of the program on a worker.

The program reads from a descriptor and writes into a file in memory,
never into an output. Once it has ended, or been stopped, it is killed with
its process group, and the file is sealed: nothing that it left running can
change the file after that, so what is checked is what is kept. Its
standard error is read as it comes, so that it never fills, and its last
line is the reason if it fails.

A try that another may mend raises Retry; one that no try can mend raises
Failure, of which Retry is a kind.
"""

import contextlib
import fcntl
import os
import select
import signal
import subprocess
import threading
import time

STDERR_KEPT = 4096  # bytes of standard error kept for its last line
REASON_CHARS = 200  # characters of that line in a reason
PROGRAM_POLL = 0.005  # seconds between looks at a running program


class Gate:
    """A lock, which arrives new and open where it is sent by value."""

    def __init__(self):
        self.lock = threading.Lock()

    def __reduce__(self):
        return Gate, ()


# Held while a program is started; a run that is being stopped takes it for
# good, so that no program starts after those running have been killed.
STARTING = Gate()
UNSTARTED = "cannot start "  # how the reason of a program not started begins
SEALS = (fcntl.F_SEAL_SEAL | fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW
         | fcntl.F_SEAL_WRITE)


class Failure(Exception):
    """A try that failed; its argument says why."""


class Retry(Failure):
    """A try that failed in a way that another try may mend."""


def reason(e):
    """What an exception says: an OSError without its numbers."""
    return (e.strerror or str(e)) if isinstance(e, OSError) else str(e)


def memory_file(data=b"", at=0):
    """A file in memory that holds data from offset at on, and is read from
    there. A program reads and writes it without the wake-ups that a pipe
    costs."""
    fd = os.memfd_create("sentbreak", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
    view = memoryview(data)
    while view:
        n = os.pwrite(fd, view, at)
        view, at = view[n:], at + n
    os.lseek(fd, at - len(data), os.SEEK_SET)
    return fd


def seal(fd):
    """Makes the file in memory fd unchangeable, through any descriptor."""
    try:
        fcntl.fcntl(fd, fcntl.F_ADD_SEALS, SEALS)
    except OSError as e:  # EBUSY: mapped for writing by what is left
        raise Retry("its output is still open to a process it left: %s"
                    % reason(e)) from None


def last_line(said):
    """The last line of standard error, or the end of a long one."""
    line = said.rstrip(b"\n").rsplit(b"\n", 1)[-1].strip()
    text = line.decode(errors="backslashreplace")
    return text if len(text) <= REASON_CHARS else "..." + text[-REASON_CHARS:]


def start_program(program, stdin, stdout):
    """Starts program in a process group of its own, so that stopping it
    stops what it started too."""
    try:
        with STARTING.lock:
            return subprocess.Popen([program], stdin=stdin, stdout=stdout,
                                    stderr=subprocess.PIPE, process_group=0)
    except OSError as e:
        where = "" if "/" in program else " (looked for on PATH=%s)" % (
            os.environ.get("PATH", os.defpath))
        raise Failure("%s%s: %s%s" % (UNSTARTED, program, reason(e), where)
                      ) from None


def watch_program(proc, stdout, timeout, enough, limit):
    """Reads proc's standard error until proc ends, or must be stopped:
    returns why it was stopped, or None, and what it said."""
    began, err, said = time.monotonic(), proc.stderr.fileno(), b""
    while True:
        if err is None:
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(PROGRAM_POLL)
        elif select.select([err], [], [], PROGRAM_POLL)[0]:
            chunk = os.read(err, 65536)
            said = (said + chunk)[-STDERR_KEPT:]
            err = err if chunk else None
        ended = proc.poll() is not None
        size = os.fstat(stdout).st_size
        if limit is not None and size > limit:
            return "too much", said
        if enough is not None and size >= enough:
            return "enough", said
        if ended:
            return None, said
        if timeout is not None and time.monotonic() - began > timeout:
            return "late", said


def stop_program(proc, said):
    """Kills proc's group, reaps proc and reads what is left of its
    standard error, without waiting for a process that still holds it."""
    with contextlib.suppress(ProcessLookupError):
        os.killpg(proc.pid, signal.SIGKILL)
    proc.wait()
    os.set_blocking(proc.stderr.fileno(), False)
    with contextlib.suppress(BlockingIOError):
        while chunk := os.read(proc.stderr.fileno(), 65536):
            said = (said + chunk)[-STDERR_KEPT:]
    proc.stderr.close()
    return said


def run_program(program, stdin, stdout, timeout=None, enough=None, limit=None):
    """Runs program from the descriptor stdin into the file in memory
    stdout, until it ends or stdout holds enough bytes, and seals stdout.
    It is stopped, and fails, once stdout holds more than limit bytes, or
    after timeout seconds."""
    proc = start_program(program, stdin, stdout)
    why, said = None, b""
    try:
        why, said = watch_program(proc, stdout, timeout, enough, limit)
    finally:
        said = stop_program(proc, said)
    seal(stdout)
    if why == "late":
        raise Failure("%s timed out after %g s" % (program, timeout))
    if why == "too much":
        raise Retry("%s wrote more than %d bytes" % (program, limit))
    if why == "enough" or proc.returncode == 0:
        return
    if last_line(said):
        raise Retry(last_line(said))
    if proc.returncode < 0:
        raise Retry("%s killed by %s" % (
            program, signal.Signals(-proc.returncode).name))
    raise Retry("%s exited with status %d" % (program, proc.returncode))
