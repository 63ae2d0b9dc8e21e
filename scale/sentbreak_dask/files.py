# SPDX-License-Identifier: MIT
"""The input files of a run, and what becomes of each: its pieces come in,
and once the last is in, its output is renamed into place with the length
that its input implies; or, if anything failed it, the file's outputs, new
and old, are removed and one line says why. A file fails here, through
Ledger.fail, and nowhere else.

A File is a plain one, whose bytes are the text; compressed.Packed is the
other kind. Each kind cuts itself into pieces, makes the jobs of its
pieces, and takes and commits their outputs.
"""

import contextlib
import dataclasses
import os
from typing import NamedTuple

from . import worker
from .program import reason
from .rule import cut_evenly
from .worker import (SentJob, StoredJob, Version, check_ends_at,
                     check_unchanged, open_input, read_exactly)


@contextlib.contextmanager
def reading(f, piece):
    """The descriptor of the input of piece, while it is read here: the
    file must still be the version that the run began with, and, for the
    last piece, end where its size says."""
    with open_input(f.source, f.version) as (fd, seen):
        if piece.last:
            check_ends_at(fd, f.size)
        yield fd
        check_unchanged(fd, f.source, seen)


def write_into(path, data, at):
    """Writes all of data into the file path from offset at on."""
    fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    try:
        worker.write_all(fd, data, at)
    finally:
        os.close(fd)


@dataclasses.dataclass(eq=False)
class File:
    """One input file, and the output being assembled for it."""
    source: str
    target: str
    version: Version  # the one the run reads
    part: str = None  # the .part- file, once made
    pending: int = 0  # pieces not yet in
    length: int = None  # of the whole output, once its last piece is in
    failure: str = None  # why it failed, if it has
    resent: bool = False  # a piece of it was sent again: its first worker,
    # given up, may still write into part
    done: bool = False  # renamed into place, or failed and removed

    # The tasks of this kind's pieces, and how their jobs travel.
    on_storage, pack_stored = worker.on_storage, worker.pack_stored
    on_bytes, pack_sent = worker.on_bytes, worker.pack_sent

    @property
    def size(self):
        return self.version.size

    @property
    def weight(self):
        """The bytes of text that it holds, known or estimated."""
        return self.size

    def cut(self, block):
        """Its pieces, of about block bytes of text each."""
        return [Piece(self, s.start, s.end, s.end == self.size)
                for s in cut_evenly(0, self.size, block)]

    def runs(self, piece):
        """The runs of the program that piece takes, at most."""
        return len(cut_evenly(piece.start, piece.end, worker.WINDOW))

    def stored_job(self, piece):
        return StoredJob(self.source, self.version, piece.start, piece.end,
                         piece.last, self.part)

    def sent_job(self, piece):
        """The job of piece: its bytes, with the one before them, read here
        from its file, which must still be the version that the run began
        with and end where its size says."""
        lead = 1 if piece.start else 0
        with reading(self, piece) as fd:
            return SentJob(read_exactly(fd, piece.end - piece.start + lead,
                                        piece.start - lead), bool(lead),
                           piece.last)

    def keep_sent(self, piece, result, outputs):
        """Writes the output that came back for piece into place."""
        write_into(self.part, result.data, piece.start)
        return result._replace(length=len(result.data))

    def take(self, piece, result):
        """Takes the Result of a piece that has not failed: its output must
        have the piece's length, and one or two bytes more for the last
        piece. Returns why not, or None."""
        want = piece.end - piece.start
        more = result.length - want
        if not (more in (1, 2) if piece.last else more == 0):
            return ("its output came back %d bytes long, for %d bytes of "
                    "input" % (result.length, want))
        if piece.last:
            self.length = piece.start + result.length
        return None

    def commit(self, outputs):
        outputs.commit(self.part, self.target, self.length,
                       fresh=self.resent)

    def remove(self, outputs):
        outputs.remove(self.part, self.target)


class Piece(NamedTuple):
    file: File
    start: int
    end: int
    last: bool  # the piece ends its file


class Ledger:
    """The files of one run, and their outputs as they come in."""

    def __init__(self, files, outputs, report):
        self.files, self.outputs, self.report = files, outputs, report

    def fail(self, f, why):
        """Fails the file f for the reason why, unless it has failed."""
        f.failure = f.failure or why

    def part_ready(self, f):
        """Whether f can take a piece: it has not failed, and has its .part-
        file, made here the first time."""
        if f.part is None and f.failure is None:
            try:
                f.part = self.outputs.make_part(f.target)
            except OSError as e:
                self.fail(f, reason(e))
        return f.failure is None

    def piece_done(self, piece, failure=None):
        """Takes piece as done, or as failed; the last piece of a file
        finishes it."""
        f = piece.file
        if failure:
            self.fail(f, failure)
        self.report.advance(piece.end - piece.start)
        f.pending -= 1
        if f.pending == 0:
            self.commit_or_remove(f)

    def piece_returned(self, piece, result):
        """Takes a piece's Result, as its file's kind takes it."""
        self.piece_done(piece, result.failure or piece.file.take(piece,
                                                                 result))

    def commit_or_remove(self, f):
        """Renames f's output into place, or removes every output of f and
        says why it failed."""
        f.done = True
        if f.failure is None:
            try:
                return f.commit(self.outputs)
            except OSError as e:
                self.fail(f, reason(e))
        f.remove(self.outputs)
        self.report.fail(f.source, f.failure)

    def fail_now(self, f, why):
        """Fails f, none of whose pieces has been sent."""
        self.fail(f, why)
        self.commit_or_remove(f)

    def fail_unfinished(self, why):
        """Fails every file not yet done."""
        for f in self.files:
            if not f.done:
                self.fail(f, why)
                self.commit_or_remove(f)
