# SPDX-License-Identifier: MIT
"""The input files of a run, and what becomes of each: its pieces come in,
and once the last is in, its output is renamed into place with the length
that its input implies; or, if anything failed it, the file's outputs, new
and old, are removed and one line says why. A file fails here, through
Ledger.fail, and nowhere else. Each kind of file (plain.File,
compressed.Packed) takes and prepares its own outputs.

Finished outputs wait in a batch, published together once it holds BATCH
of them, once the first has waited FLUSH_AFTER seconds, or at the end of
the run, and are then recorded in the journal. A file cut into pieces
records each piece as it comes in; with --update, a part that an ended run
left for it is taken over, and the pieces it holds are not run again.
"""

import time

from .journal import Done
from .parts import PREFIX
from .program import reason
from .worker import Result

BATCH = 256
FLUSH_AFTER = 1.0  # seconds


class Ledger:
    """The files of one run, and their outputs as they come in."""

    def __init__(self, files, outputs, report, journal=None, update=False):
        self.files, self.outputs, self.report = files, outputs, report
        self.journal, self.update = journal, update
        self.batch, self.began = [], None  # the Files waiting, since when

    def fail(self, f, why):
        """Fails the file f for the reason why, unless it has failed."""
        f.failure = f.failure or why

    def part_ready(self, f):
        """Whether f can take a piece: it has not failed, and has its .part-
        file, made here the first time."""
        if f.part is None and f.failure is None:
            try:
                self.make_part(f)
            except OSError as e:
                self.fail(f, reason(e))
        return f.failure is None

    def make_part(self, f):
        """Gives f its part: one that an ended run left, with --update, or a
        new one, with a record of its pieces where it has several."""
        if self.journal is None or f.pending < 2 or not f.keeps_pieces:
            f.part = self.outputs.make_part(f.target)
            return
        taken = self.update and self.journal.adopt(
            f.target, f.version, self.outputs.stale_beside(f.target), PREFIX)
        if taken:
            f.part, f.kept = taken
            self.outputs.live.add(f.part)
        else:
            f.part = self.outputs.make_part(f.target)
            self.journal.start_pieces(f.part, f.target, f.source, f.version)
        f.recorded = True

    def kept(self, piece):
        """Whether piece is done already, in a part taken over; if so, it is
        taken as returned."""
        done = (piece.file.kept or {}).pop((piece.start, piece.end), None)
        if done is not None:
            self.piece_returned(piece, Result(done.length), noted=True)
        return done is not None

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
        if self.began and time.monotonic() - self.began > FLUSH_AFTER:
            self.flush()

    def piece_returned(self, piece, result, noted=False):
        """Takes a piece's Result, as its file's kind takes it. noted: it is
        in the record of the file's pieces already."""
        f = piece.file
        failure = result.failure or f.take(piece, result)
        if failure:
            return self.piece_done(piece, failure)
        if f.recorded and not noted and f.failure is None:
            try:
                self.journal.note_piece(f.part, Done(
                    piece.start, piece.end, result.length))
            except OSError as e:
                self.fail(f, reason(e))
        self.piece_done(piece)

    def commit_or_remove(self, f):
        """Renames f's output into place, or removes every output of f and
        says why it failed."""
        f.done = True
        if f.failure is None:
            try:
                self.batch.append((f, f.prepare(self.outputs)))
                self.began = self.began or time.monotonic()
                if len(self.batch) >= BATCH:
                    self.flush()
                return
            except OSError as e:
                self.fail(f, reason(e))
        self.remove(f)

    def remove(self, f):
        f.remove(self.outputs)
        self.report.fail(f.source, f.failure)

    def flush(self):
        """Publishes the outputs waiting, and records them; fails each that
        cannot be published."""
        batch, self.batch, self.began = self.batch, [], None
        failed = self.outputs.publish([ready for _, ready in batch]) \
            if batch else {}
        for f, ready in batch:
            if ready.part in failed:
                self.fail(f, reason(failed[ready.part]))
                self.remove(f)
        done = [f for f, ready in batch if ready.part not in failed]
        if self.journal is None or not done:
            return
        try:
            self.journal.note_outputs([(f.target, f.version) for f in done])
        except OSError as e:  # they run again under --update, that is all
            self.report.say(done[0].target, "cannot be recorded as done: %s"
                            % reason(e))
        for f in done:
            if f.recorded:  # what an ended run left for it is of no use
                self.outputs.sweep(f.target)

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
        self.flush()
