# SPDX-License-Identifier: MIT
"""The tasks for pieces of compressed files, on a worker: a piece is one
or more whole parts of its file, decoded a window at a time, each window
run through the program with the byte before it, as worker's windows are,
and the output encoded in the file's format, as a member, frame or stream
of its own. The byte before the piece is the last that the part before it
decodes to, which is decoded for it.

The output of a piece on storage goes into a file of its own that the
worker makes, beside the output, with the run's prefix: a try that was
given up can write into no file that is kept. Nothing here imports Dask.
"""

import collections
import contextlib
import os
import tempfile

from .codecs import decoded, encoder
from .formats import Part
from .program import Failure
from .worker import (Result, SentJob, check_ends_at, check_unchanged,
                     open_input, run_sent, try_job, Version)

WINDOW = 4 << 20  # decoded bytes of one program run

# A piece of the file path in format fmt: its part (a formats.Part), and
# lead, the Part before it or None; its output goes into a new file in the
# directory out, named from prefix. last: it ends its file.
StoredPackedJob = collections.namedtuple(
    "StoredPackedJob", "path version fmt part lead last out prefix")
# The same, sent: data holds the bytes of part, lead_data those of lead.
SentPackedJob = collections.namedtuple(
    "SentPackedJob", "fmt part lead last data lead_data")


def last_byte(fmt, read, lead):
    """The last byte that the Part lead decodes to, or b"" if none."""
    if lead is None:
        return b""
    found = b""
    for chunk in decoded(fmt, read, lead):
        found = chunk[-1:] or found
    if not found:
        raise Failure("the part before %d decodes to nothing, and a piece "
                      "cannot start after it" % lead.end)
    return found


def run_piece(program, job, read, write, timeout):
    """Runs program over the decoded piece of job, and passes the encoded
    output to write(); returns how many bytes it decoded to."""
    before = last_byte(job.fmt, read, job.lead)
    enc, window, count = encoder(job.fmt), bytearray(), 0

    def run(data, last):
        out = run_sent(program, SentJob(before + data, bool(before), last),
                       timeout).data
        write(enc.compress(out))
        return data[-1:] or before

    for chunk in decoded(job.fmt, read, job.part):
        window += chunk
        count += len(chunk)
        while len(window) > WINDOW:  # the last run has a byte of its own
            before = run(bytes(window[:WINDOW]), False)
            del window[:WINDOW]
    if job.last and before and not count:
        raise Failure("its last part decodes to nothing, after a cut")
    run(bytes(window), job.last)
    write(enc.flush())
    if job.part.size is not None and count != job.part.size:
        raise Failure("corrupt %s data: it decodes to %d bytes, where it says "
                      "%d" % (job.fmt, count, job.part.size))
    return count


def run_stored_piece(program, job, timeout):
    """Runs a piece on storage; its output goes into a new file."""
    with open_input(job.path, job.version) as (fd, seen):
        if job.last:
            check_ends_at(fd, job.version.size)
        out, path = tempfile.mkstemp(dir=job.out, prefix=job.prefix)
        try:
            with os.fdopen(out, "wb") as f:
                run_piece(program, job, lambda at, n: os.pread(fd, n, at),
                          f.write, timeout)
                length = f.tell()
            check_unchanged(fd, job.path, seen)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(path)
            raise
    return Result(length, where=path)


def run_sent_piece(program, job, timeout):
    """Runs a piece sent as bytes; gives back its output."""
    def read(at, n):
        for part, data in ((job.part, job.data), (job.lead, job.lead_data)):
            if part is not None and part.start <= at < part.end:
                return data[at - part.start:at - part.start + n]
        return b""
    out = []
    run_piece(program, job, read, out.append, timeout)
    data = b"".join(out)
    return Result(len(data), data)


def pack_stored(jobs):
    return [(j.path, tuple(j.version), j.fmt, tuple(j.part),
             j.lead and tuple(j.lead), j.last, j.out, j.prefix)
            for j in jobs]


def on_storage(program, jobs, timeout):
    """The task for compressed pieces on storage, packed by pack_stored();
    each piece's Result, packed."""
    return [tuple(try_job(run_stored_piece, program, StoredPackedJob(
        path, Version(*version), fmt, Part(*part), lead and Part(*lead),
        last, out, prefix), timeout))
        for path, version, fmt, part, lead, last, out, prefix in jobs]


def pack_sent(jobs):
    """Sent jobs as ([(fmt, part, lead, last)], [data], [lead data])."""
    return [[(j.fmt, tuple(j.part), j.lead and tuple(j.lead), j.last)
             for j in jobs], [j.data for j in jobs],
            [j.lead_data for j in jobs]]


def on_bytes(program, jobs, timeout):
    """The task for compressed pieces sent to this worker, packed by
    pack_sent(); each piece's Result, packed as worker.on_bytes packs
    them."""
    results = [try_job(run_sent_piece, program, SentPackedJob(
        fmt, Part(*part), lead and Part(*lead), last, data, lead_data),
        timeout) for (fmt, part, lead, last), data, lead_data in zip(*jobs)]
    return [[(r.length, r.failure, r.where) for r in results],
            [r.data or b"" for r in results]]
