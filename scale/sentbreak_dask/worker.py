# SPDX-License-Identifier: MIT
"""What runs on a worker: the program over pieces of files, read from the
files themselves or sent with the task as bytes, each output checked for
its length and each input for its identity. Nothing here imports Dask; the
client ships this package by value, so workers need only Python and the
program.

A job that another try may mend (the program failed or wrote too little, a
write failed) makes its task raise Again, so that Dask runs the task again.
One that no try can mend (the program cannot be started, the input changed
or went, the program ran past the timeout) is given back as its reason.
"""

import contextlib
import os
import select
import signal
import stat
import subprocess
import time

from .cut import final

TAIL = 4096  # of the program's standard error, kept for its last line
SAID = 200  # of that last line, in the reason; Dask cuts long exceptions
TICK = 0.005  # seconds between looks at a running program's output


class Failed(Exception):
    """A job that no try can mend; its argument is the reason."""


class Again(Exception):
    """A task worth another try: its arguments are the reason, and each
    job's (result, reason) from this try."""

    def __str__(self):  # short, or Dask would cut the results off
        return self.args[0]


def reason(e):
    """What an exception says, without its class."""
    return e.strerror if isinstance(e, OSError) and e.strerror else str(e)


def identity(st):
    """What tells one version of a file from another. A write changes the
    ctime, which, unlike the mtime, cannot be set back."""
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def openinput(path, ident):
    """Opens the regular file path, which must still be the version ident.
    It is opened without waiting, so that a FIFO put in its place is
    reported rather than waited on."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Failed(reason(e)) from None
    st = os.fstat(fd)
    if not stat.S_ISREG(st.st_mode) or identity(st) != ident:
        os.close(fd)
        raise Failed("not a regular file" if not stat.S_ISREG(st.st_mode)
                     else "changed during the run")
    os.set_blocking(fd, True)
    return fd


def unchanged(fd, path, ident):
    """Fails if the open input fd, or what its path names now, is no longer
    the version ident."""
    try:
        same = identity(os.fstat(fd)) == identity(os.stat(path)) == ident
    except OSError:
        same = False
    if not same:
        raise Failed("changed during the run")


def lastline(said):
    """The last line that standard error held, or the end of a long one."""
    line = said.rstrip(b"\n").rsplit(b"\n", 1)[-1].strip()
    text = line.decode(errors="backslashreplace")
    return text if len(text) <= SAID else "..." + text[-SAID:]


def run(program, source, out, timeout, until=None, limit=None):
    """Runs program from the descriptor source to the descriptor out, to its
    end or until the offset of out has reached until, reading its standard
    error as it comes so that it never fills. It is stopped once the offset
    of out passes limit, and what it started goes with it at its end."""
    try:
        # A group of its own, so that stopping it stops what it started too.
        proc = subprocess.Popen([program], stdin=source, stdout=out,
                                stderr=subprocess.PIPE, process_group=0)
    except OSError as e:
        raise Failed("%s: %s" % (program, reason(e))) from None
    began = time.monotonic()
    err, said = proc.stderr.fileno(), b""
    stop = None
    while stop is None:
        if err is None:
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(TICK)
        elif select.select([err], [], [], TICK)[0]:
            chunk = os.read(err, 65536)
            said = (said + chunk)[-TAIL:]
            err = err if chunk else None
        ended = proc.poll() is not None
        at = os.lseek(out, 0, os.SEEK_CUR)
        if limit is not None and at > limit:
            stop = "much"
        elif until is not None and at >= until:
            stop = "enough"
        elif ended:
            break
        elif timeout is not None and time.monotonic() - began > timeout:
            stop = "late"
    with contextlib.suppress(ProcessLookupError):  # nothing left of it
        os.killpg(proc.pid, signal.SIGKILL)
    proc.wait()
    if err is not None:  # what is left, without waiting for a grandchild
        os.set_blocking(err, False)
        try:
            while chunk := os.read(err, 65536):
                said = (said + chunk)[-TAIL:]
        except BlockingIOError:
            pass
    proc.stderr.close()
    if stop == "late":
        raise Failed("timed out after %g s" % timeout)
    if stop == "much":
        raise Again("%s wrote more than %d bytes" % (program, limit))
    if stop == "enough" or proc.returncode == 0:
        return
    if lastline(said):
        raise Again(lastline(said))
    if proc.returncode < 0:
        raise Again("%s killed by %s" % (
            program, signal.Signals(-proc.returncode).name))
    raise Again("%s exited with status %d" % (program, proc.returncode))


def short(program, got, want):
    return Again("%s wrote %d bytes, not %d" % (program, got, want))


def inplace(program, source, ident, start, end, part, timeout):
    """Runs program on the file source from start on, until its output has
    reached end, and writes that output into the file part from start on.
    Returns the length the whole output must have for the last piece of a
    file, else None.

    The last piece writes into part itself. The others write into unnamed
    files of their own, copied in once done, so as not to contend for part
    with a write for every line; where the file system has no such files,
    into part itself, since what they write past end is what the next
    piece writes there too.
    """
    size = ident[2]
    with open(openinput(source, ident), "rb") as inp, \
            open(part, "r+b") as outp:
        fd, out = inp.fileno(), outp.fileno()
        os.lseek(fd, start, os.SEEK_SET)
        os.lseek(out, start, os.SEEK_SET)
        if end == size:
            length = size + final(os.pread(fd, 2, max(0, size - 2)))
            run(program, fd, out, timeout, limit=length)
            unchanged(fd, source, ident)
            got = os.lseek(out, 0, os.SEEK_CUR)
            if got != length:
                raise short(program, got - start, length - start)
            return length
        try:
            tmp = open(os.open(os.path.dirname(part),
                               os.O_TMPFILE | os.O_RDWR, 0o600), "rb")
        except OSError:
            tmp = None
        with tmp or contextlib.nullcontext():
            into = tmp.fileno() if tmp else out
            run(program, fd, into, timeout, end - start if tmp else end)
            unchanged(fd, source, ident)
            got = os.lseek(into, 0, os.SEEK_CUR) - (0 if tmp else start)
            if got < end - start:
                raise short(program, got, end - start)
            at = 0
            while tmp and at < end - start:
                n = os.copy_file_range(into, out, end - start - at, at,
                                       start + at)
                if n == 0:
                    raise Again("output cut short")
                at += n
        return None


def memory(data=b""):
    """Returns a file in memory that holds data: a program reads and writes
    it without the wake-ups that a pipe costs, one for every line."""
    mem = os.memfd_create("sentbreak", os.MFD_CLOEXEC)
    view = memoryview(data)
    while view:
        view = view[os.write(mem, view):]
    os.lseek(mem, 0, os.SEEK_SET)
    return mem


def sent(program, data, last, timeout):
    """Runs program on data, sent to this worker. Returns the output, cut to
    the length of data unless last."""
    inp, out = memory(data), memory()
    try:
        run(program, inp, out, timeout, limit=len(data) + 2)
        got = os.fstat(out).st_size
        want = len(data) + final(data[-2:]) if last else len(data)
        if got < want or (last and got != want):
            raise short(program, got, want)
        result = os.pread(out, want, 0)
        if len(result) != want:
            raise Again("output cut short")
        return result
    finally:
        os.close(inp)
        os.close(out)


def batch(work, program, jobs, timeout):
    """Does work for each of jobs, a task's worth. Returns each job's
    (result, reason), with a reason of None where it succeeded; raises Again
    if a job is worth another try."""
    results, again = [], None
    for job in jobs:
        try:
            results.append((work(program, *job, timeout), None))
        except Again as e:
            again = again or e.args[0]
            results.append((None, e.args[0]))
        except Failed as e:
            results.append((None, e.args[0]))
        except OSError as e:
            again = again or reason(e)
            results.append((None, reason(e)))
    if again is not None:
        raise Again(again, results)
    return results


def onfiles(program, jobs, timeout):
    """The task for pieces that this worker reads and writes in place."""
    return batch(inplace, program, jobs, timeout)


def onbytes(program, jobs, timeout):
    """The task for pieces sent to this worker."""
    return batch(sent, program, jobs, timeout)
