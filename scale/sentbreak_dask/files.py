# SPDX-License-Identifier: MIT
"""The input files of a run, and what becomes of each: its pieces come in,
and once the last is in, its output is renamed into place with the length
that its input implies; or, if anything failed it, the file's outputs, new
and old, are removed and one line says why. A file fails here, through
Ledger.fail, and nowhere else.
"""

import dataclasses
from typing import NamedTuple

from .program import reason
from .worker import Version


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

    @property
    def size(self):
        return self.version.size


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
        """Takes a piece's Result: its output must have the piece's length,
        and one or two bytes more for the last piece of a file."""
        want = piece.end - piece.start
        more = result.length - want
        if result.failure or not (more in (1, 2) if piece.last else more == 0):
            return self.piece_done(piece, result.failure or (
                "its output came back %d bytes long, for %d bytes of input"
                % (result.length, want)))
        if piece.last:
            piece.file.length = piece.start + result.length
        self.piece_done(piece)

    def commit_or_remove(self, f):
        """Renames f's output into place, or removes every output of f and
        says why it failed."""
        f.done = True
        if f.failure is None:
            try:
                return self.outputs.commit(f.part, f.target, f.length,
                                           fresh=f.resent)
            except OSError as e:
                self.fail(f, reason(e))
        self.outputs.remove(f.part, f.target)
        self.report.fail(f.source, f.failure)

    def fail_unfinished(self, why):
        """Fails every file not yet done."""
        for f in self.files:
            if not f.done:
                self.fail(f, why)
                self.commit_or_remove(f)
