# SPDX-License-Identifier: MIT
"""The pieces of a run's files, as the client sees them: how the files make
tasks, how a piece is read to be sent, and what becomes of each piece's
result, and of each file once its last piece is in.

A file larger than the block size is cut into pieces, each a task of its
own; smaller files go together, up to BATCH_FILES or BATCH_BYTES a task. A
file's output is renamed into place once every piece of it is in and it has
the length its input implies; a file that fails leaves nothing.
"""

import os

from . import cut, worker

BATCH_BYTES = 8 << 20
BATCH_FILES = 64


def write(path, data, at):
    """Writes all of data into the file path from offset at on."""
    fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    try:
        view = memoryview(data)
        while view:
            n = os.pwrite(fd, view, at)
            view, at = view[n:], at + n
    finally:
        os.close(fd)


class Pieces:
    """The files of one run, and their outputs as they come in."""

    def __init__(self, files, block, shared, outputs, report):
        self.files, self.block, self.shared = files, block, shared
        self.outputs, self.report = outputs, report

    def tasks(self):
        """Yields the work as lists of jobs (File, start, end): small files
        together, and each piece of a large one alone."""
        jobs, total = [], 0
        for f in self.files:
            if f.size <= self.block:
                if jobs and (total + f.size > BATCH_BYTES
                             or len(jobs) == BATCH_FILES):
                    yield jobs
                    jobs, total = [], 0
                jobs.append((f, 0, f.size))
                total += f.size
                f.left = 1
                continue
            try:
                with open(worker.openinput(f.source, f.ident), "rb") as inp:
                    pieces = cut.cuts(lambda n, at: os.pread(inp.fileno(), n,
                                                             at),
                                      f.size, self.block)
            except EOFError:
                f.failed = "changed during the run"
            except (worker.Failed, OSError) as e:
                f.failed = worker.reason(e)
            if f.failed:
                self.finish(f)
                continue
            f.left = len(pieces)
            for start, end in pieces:
                yield [(f, start, end)]
        if jobs:
            yield jobs

    def read(self, f, start, end):
        """The bytes of a piece of f, which must still be the version that
        the run began with."""
        with open(worker.openinput(f.source, f.ident), "rb") as inp:
            data = os.pread(inp.fileno(), end - start, start)
            worker.unchanged(inp.fileno(), f.source, f.ident)
        if len(data) != end - start:
            raise worker.Failed("changed during the run")
        if end == f.size:
            f.length = f.size + cut.final(data[-2:])
        return data

    def piece(self, job, why, out):
        """Takes the result of one job: its output, or why it failed."""
        f, start, end = job
        if why is None and not f.failed and out is not None:
            try:
                self.keep(f, start, end, out)
            except OSError as e:
                why = worker.reason(e)
        f.failed = f.failed or why
        self.report.advance(end - start)
        f.left -= 1
        if f.left == 0:
            self.finish(f)

    def keep(self, f, start, end, out):
        """Puts a piece's output into place: bytes, without shared storage;
        with it, the length of the whole output, from its last piece."""
        if self.shared:
            f.length = out
            return
        want = (f.length if end == f.size else end) - start
        if len(out) != want:
            raise OSError(0, "its output came back %d bytes long, not %d"
                          % (len(out), want))
        write(f.part, out, start)

    def finish(self, f):
        """Renames f's output into place, or removes every output of f."""
        f.done = True
        if not f.failed:
            try:
                return self.outputs.commit(f.part, f.target, f.length)
            except OSError as e:
                f.failed = worker.reason(e)
        self.report.fail(f.source, f.failed)
        self.outputs.discard(f.part, f.target)

    def abandon(self, why):
        """Fails every file not yet done."""
        for f in self.files:
            if not f.done:
                f.failed = f.failed or why
                self.finish(f)
