# SPDX-License-Identifier: MIT
"""The tasks that run on a worker: the program over pieces of files, read
from storage that the worker shares with the client, or sent with the task
as bytes. Nothing here imports Dask; the client sends this package by
value, so a worker needs only Python and the program.

Each job is tried again, RETRIES times at most, while its failure is of a
kind that another try may mend, and gives back a Result, its failure
included: a task raises nothing of its own.

A file's version is what every machine sees of it alike: its size, and its
modification time to the second. A machine that sees the file on the
client's device sees it as the client does, so there the version is all
of inode, size and both times, to the nanosecond. While a piece is read,
the worker's own view of its file must not change at all.
"""

import collections
import contextlib
import errno
import os
import stat

from .program import Failure, Retry, memory_file, reason, run_program
from .rule import final_length, cut_evenly

RETRIES = 2
WINDOW = 16 << 20  # input bytes of one program run, held in memory
CHANGED = "changed during the run"
SECOND = 10**9


# Records that travel with tasks are collections.namedtuple classes, which
# cloudpickle sends by value; it cannot send typing.NamedTuple ones.
Version = collections.namedtuple(
    "Version", "size mtime_ns ctime_ns device inode")
# A piece that the worker reads from path and writes into part; last: it
# ends its file.
StoredJob = collections.namedtuple(
    "StoredJob", "path version start end last part")
# A piece sent as bytes, with the byte before it first where lead.
SentJob = collections.namedtuple("SentJob", "data lead last")
# What came of a piece: the length of its output, that output where it
# travels back, or why it failed; where: the file that holds the output of
# a compressed piece on storage.
Result = collections.namedtuple("Result", "length data failure where",
                                defaults=(0, None, None, None))


def version_of(st):
    return Version(st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_dev,
                   st.st_ino)


def same_version(version, st):
    """Whether st shows the version of a file that the client saw, as far
    as this machine can tell."""
    if st.st_dev == version.device:
        return version_of(st) == version
    return (st.st_size == version.size and
            st.st_mtime_ns // SECOND == version.mtime_ns // SECOND)


@contextlib.contextmanager
def open_input(path, version):
    """The descriptor of the regular file path, if it is still version, and
    this machine's view of it. It opens the file without waiting, so that a
    FIFO put in its place is reported rather than waited on."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Failure(reason(e)) from None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise Failure("not a regular file")
        if not same_version(version, st):
            raise Failure(CHANGED)
        os.set_blocking(fd, True)
        yield fd, version_of(st)
    finally:
        os.close(fd)


def check_unchanged(fd, path, seen):
    """Fails unless the open file fd, and what path names now, are both
    still as seen."""
    try:
        same = version_of(os.fstat(fd)) == version_of(os.stat(path)) == seen
    except OSError:
        same = False
    if not same:
        raise Failure(CHANGED)


def check_ends_at(fd, size):
    """Fails unless the open file fd ends at size: a size that is not
    where the bytes end cannot be trusted."""
    if os.pread(fd, 1, size) or size and not os.pread(fd, 1, size - 1):
        raise Failure("its size of %d bytes is not where it ends" % size)


def read_exactly(fd, count, at):
    """count bytes of fd from at; fails if the file ends before them."""
    chunks = []
    while count:
        chunk = os.pread(fd, count, at)
        if not chunk:
            raise Failure(CHANGED)
        chunks.append(chunk)
        count, at = count - len(chunk), at + len(chunk)
    return b"".join(chunks)


def write_all(fd, data, at):
    """Writes all of data into fd from offset at on."""
    view = memoryview(data)
    while view:
        n = os.pwrite(fd, view, at)
        view, at = view[n:], at + n


def copy_range(src, at, dst, to, count):
    """Copies count bytes of the file src from offset at into the file dst
    at offset to, in the kernel where it can."""
    while count:
        try:
            os.lseek(dst, to, os.SEEK_SET)
            n = os.sendfile(dst, src, at, count)
        except OSError as e:  # a file system that sendfile cannot write
            if e.errno not in (errno.EINVAL, errno.ENOSYS):
                raise
            n = min(count, 1 << 20)
            write_all(dst, read_exactly(src, n, at), to)
        if n == 0:
            raise Retry("output cut short")
        at, to, count = at + n, to + n, count - n


def wrong_length(program, have, want):
    return Retry("%s wrote %d bytes, not %d" % (program, have, want))


def run_window(program, fd, out, span, last, timeout, unchanged):
    """Runs program over span of the open input fd, with the byte before
    it, and writes its output into out at span's start, once unchanged()
    has found the input as it was; returns how many bytes that is. last:
    the span ends the file."""
    lead = 1 if span.start else 0
    want = span.end - span.start + lead
    if last:
        want += final_length(os.pread(fd, 2, max(0, span.end - 2)))
    os.lseek(fd, span.start - lead, os.SEEK_SET)
    mem = memory_file()
    try:
        run_program(program, fd, mem, timeout,
                    enough=None if last else want,
                    limit=want if last else None)
        have = os.fstat(mem).st_size
        unchanged()  # the reason for a wrong length too, if it changed
        if have < want or (last and have != want):
            raise wrong_length(program, have - lead, want - lead)
        copy_range(mem, lead, out, span.start, want - lead)
    finally:
        os.close(mem)
    return want - lead


def run_stored(program, job, timeout):
    """Runs program over a piece on storage, a window at a time, and writes
    its output into the piece's place in the file part."""
    with open_input(job.path, job.version) as (fd, seen):
        if job.last:
            check_ends_at(fd, job.version.size)
        out = os.open(job.part, os.O_WRONLY | os.O_CLOEXEC)
        try:
            length = sum(run_window(
                program, fd, out, span, job.last and span.end == job.end,
                timeout, lambda: check_unchanged(fd, job.path, seen))
                for span in cut_evenly(job.start, job.end, WINDOW))
        finally:
            os.close(out)
    return Result(length)


def run_stored_synced(program, job, timeout):
    """run_stored(), with what it wrote brought to stable storage."""
    result = run_stored(program, job, timeout)
    fd = os.open(job.part, os.O_WRONLY | os.O_CLOEXEC)
    try:
        os.fdatasync(fd)
    finally:
        os.close(fd)
    return result


def run_sent(program, job, timeout):
    """Runs program over a piece sent as bytes; gives back its output."""
    data = job.data
    want = len(data) + final_length(data[-2:])
    # Past a hole, so that a program that reads its input from the start
    # of the file, not from where it stands, fails its check.
    inp, mem = memory_file(data, at=4096), memory_file()
    try:
        run_program(program, inp, mem, timeout, limit=want)
        have = os.fstat(mem).st_size
        if have != want:
            raise wrong_length(program, have, want)
        keep = want if job.last else len(data)
        out = read_exactly(mem, keep - job.lead, job.lead)
    finally:
        os.close(inp)
        os.close(mem)
    return Result(len(out), out)


def try_job(work, program, job, timeout):
    """Does one job, and again while another try may mend it."""
    for tries_left in range(RETRIES, -1, -1):
        try:
            return work(program, job, timeout)
        except Retry as e:
            why = str(e)
        except OSError as e:  # a write that failed, say
            why = reason(e)
        except Failure as e:
            return Result(failure=str(e))
        if not tries_left:
            return Result(failure=why)


# Tasks take and give plain values, packed and unpacked here: Dask sends
# those as they are, and bytes without a copy, where a record of this
# package would travel with its code, at a cost for every task.

def pack_stored(jobs):
    return [(j.path, tuple(j.version), j.start, j.end, j.last, j.part)
            for j in jobs]


def pack_sent(jobs):
    """Sent jobs as ([(lead, last)], [data]), and so their results."""
    return [[(j.lead, j.last) for j in jobs], [j.data for j in jobs]]


def results_on_storage(packed):
    """The Results that on_storage() gave, packed."""
    return [Result(*r) for r in packed]


def results_on_bytes(packed):
    """The Results that on_bytes() gave, packed."""
    lengths_failures, data = packed
    return [Result(length, d, failure, *where)
            for (length, failure, *where), d in zip(lengths_failures, data)]


def on_storage(program, jobs, timeout, sync=False):
    """The task for pieces on storage that this worker shares, packed by
    pack_stored(); each piece's Result, packed. sync: each piece's output
    is synced before its Result is given."""
    work = run_stored_synced if sync else run_stored
    return [tuple(try_job(work, program, StoredJob(
        path, Version(*version), start, end, last, part), timeout))
        for path, version, start, end, last, part in jobs]


def on_bytes(program, jobs, timeout):
    """The task for pieces sent to this worker, packed by pack_sent(); each
    piece's Result, packed the same way."""
    flags, data = jobs
    results = [try_job(run_sent, program, SentJob(d, lead, last), timeout)
               for (lead, last), d in zip(flags, data)]
    return [[(r.length, r.failure) for r in results],
            [r.data or b"" for r in results]]
