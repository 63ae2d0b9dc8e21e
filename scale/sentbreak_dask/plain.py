# SPDX-License-Identifier: MIT
"""Plain input files, whose bytes are the text: a File, cut into pieces at
any byte, each of whose outputs goes into its place in the file's .part-
file. compressed.Packed is the other kind of file. Each kind cuts itself
into pieces, makes the jobs of its pieces, and takes and prepares their
outputs; files.Ledger does the rest.
"""

import contextlib
import dataclasses
import os
from typing import NamedTuple

from . import worker
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
    recorded: bool = False  # its part has a record of its pieces
    kept: dict = None  # the Done pieces of a part taken over, by span

    # The tasks of this kind's pieces, and how their jobs travel; whether
    # its pieces can be recorded in its part, and taken up by a later run.
    on_storage, pack_stored = worker.on_storage, worker.pack_stored
    on_bytes, pack_sent = worker.on_bytes, worker.pack_sent
    keeps_pieces = True

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

    def prepare(self, outputs):
        """Its output made ready to be published: a parts.Ready."""
        return outputs.prepare(self.part, self.target, self.length,
                               fresh=self.resent)

    def remove(self, outputs):
        outputs.remove(self.part, self.target)


class Piece(NamedTuple):
    file: File
    start: int
    end: int
    last: bool  # the piece ends its file
