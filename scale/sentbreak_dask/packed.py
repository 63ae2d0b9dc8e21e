# SPDX-License-Identifier: MIT
"""The tasks for pieces of compressed files, on a worker: a piece is one
or more whole parts of its file, decoded a window at a time, each window
run through the program with the byte before it, as a plain piece's
windows are, and the output encoded in the file's format, as a member,
frame or stream of its own; the three steps run side by side. The byte
before the piece is the last that the part before it decodes to, which is
decoded for it.

The output of a piece on storage goes into a file of its own that the
worker makes, beside the output, with the run's prefix: a try that was
given up can write into no file that is kept. Nothing here imports Dask.
"""

import collections
import contextlib
import os
import queue
import tempfile
import threading

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


@contextlib.contextmanager
def ahead(items, depth=2):
    """items, made in a thread of their own, up to depth of them ahead of
    what is taken; what making them raises is raised where they are taken.
    The thread has ended once the block has."""
    made, stop = queue.Queue(depth), threading.Event()

    def put(entry):
        while not stop.is_set():
            with contextlib.suppress(queue.Full):
                made.put(entry, timeout=0.05)
                return True
        return False

    def fill():
        try:
            for item in items:
                if not put((item, None)):
                    return
            put((None, StopIteration()))
        except BaseException as e:  # raised where they are taken
            put((None, e))
        finally:
            items.close()

    def taken():
        while True:
            item, e = made.get()
            if isinstance(e, StopIteration):
                return
            if e is not None:
                raise e
            yield item

    thread = threading.Thread(target=fill, daemon=True)
    thread.start()
    try:
        yield taken()
    finally:
        stop.set()
        thread.join()


def outputs(program, job, texts, before, timeout):
    """Yields what program writes for texts, the text of job's piece, a
    window at a time; before: the byte before the piece, or b""."""
    window, count = bytearray(), 0

    def run(data, last):
        return run_sent(program, SentJob(before + data, bool(before), last),
                        timeout).data

    for chunk in texts:
        window += chunk
        count += len(chunk)
        while len(window) > WINDOW:  # the last run has a byte of its own
            data = bytes(window[:WINDOW])
            del window[:WINDOW]
            yield run(data, False)
            before = data[-1:]
    if job.last and before and not count:
        raise Failure("its last part decodes to nothing, after a cut")
    yield run(bytes(window), job.last)
    if job.part.size is not None and count != job.part.size:
        raise Failure("corrupt %s data: it decodes to %d bytes, where it says "
                      "%d" % (job.fmt, count, job.part.size))


def run_piece(program, job, read, write, timeout):
    """Runs program over the decoded piece of job, and passes the encoded
    output to write(). Decoding, the program and encoding run side by
    side, each in a thread of its own."""
    before = last_byte(job.fmt, read, job.lead)
    enc = encoder(job.fmt)
    with ahead(decoded(job.fmt, read, job.part)) as texts, \
            ahead(outputs(program, job, texts, before, timeout)) as outs:
        for out in outs:
            write(enc.compress(out))
    write(enc.flush())


def run_stored_piece(program, job, timeout, sync=False):
    """Runs a piece on storage; its output goes into a new file, synced
    where sync."""
    with open_input(job.path, job.version) as (fd, seen):
        if job.last:
            check_ends_at(fd, job.version.size)
        out, path = tempfile.mkstemp(dir=job.out, prefix=job.prefix)
        try:
            with os.fdopen(out, "wb") as f:
                run_piece(program, job, lambda at, n: os.pread(fd, n, at),
                          f.write, timeout)
                length = f.tell()
                f.flush()
                if sync:
                    os.fdatasync(f.fileno())
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


def on_storage(program, jobs, timeout, sync=False):
    """The task for compressed pieces on storage, packed by pack_stored();
    each piece's Result, packed. sync: each output is synced before its
    Result is given."""
    def work(program, job, timeout):
        return run_stored_piece(program, job, timeout, sync)
    return [tuple(try_job(work, program, StoredPackedJob(
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
