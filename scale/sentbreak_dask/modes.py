# SPDX-License-Identifier: MIT
"""The two ways that pieces reach the workers, one chosen for a run.

Stored: the workers see the files at the same paths as this machine (the
cluster in this process, or --shared), so a task carries paths and
offsets, and each worker reads its pieces and writes their outputs itself.

Sent: this machine reads each piece, with the byte before it, scatters it
straight to the worker that runs it, takes the output back from there and
writes it into place; the workers need not see the files at all.
"""

import os

from . import plan
from .program import Failure, reason
from .worker import (WINDOW, Result, SentJob, StoredJob, check_ends_at,
                     check_unchanged, on_bytes, on_storage, open_input,
                     pack_sent, pack_stored, read_exactly, results_on_bytes,
                     results_on_storage, write_all)

TRAVEL = WINDOW  # the largest piece that is sent to a worker


def write_into(path, data, at):
    """Writes all of data into the file path from offset at on."""
    fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    try:
        write_all(fd, data, at)
    finally:
        os.close(fd)


class Stored:
    """Pieces that the workers read and write themselves."""

    def __init__(self, cluster, ledger, args):
        self.cluster, self.ledger = cluster, ledger
        self.program, self.timeout = args.sentbreak, args.timeout
        self.block = args.block_size
        # Workers elsewhere sync what they write; this machine syncs the
        # writes of its own.
        self.sync = args.scheduler is not None

    def tasks(self):
        return plan.tasks_of(self.ledger.files, self.block)

    def submit(self, task, worker):
        """Starts task on worker; returns its future."""
        jobs = [StoredJob(p.file.source, p.file.version, p.start, p.end,
                          p.last, p.file.part) for p in task.pieces]
        return self.cluster.submit(on_storage, self.program,
                                   pack_stored(jobs), self.timeout,
                                   self.sync, worker=worker)

    def results(self, packed):
        """The Results of a task, from what it gave back."""
        return results_on_storage(packed)

    def keep_result(self, piece, result):
        self.ledger.piece_returned(piece, result)


class Sent:
    """Pieces read here, and their outputs written here."""

    def __init__(self, cluster, ledger, args):
        self.cluster, self.ledger = cluster, ledger
        self.program, self.timeout = args.sentbreak, args.timeout
        self.block = min(args.block_size, TRAVEL)

    def tasks(self):
        return plan.tasks_of(self.ledger.files, self.block)

    def read_piece(self, piece):
        """The job of piece: its bytes, with the one before them, read from
        its file, which must still be the version that the run began with
        and end where its size says."""
        f, lead = piece.file, 1 if piece.start else 0
        with open_input(f.source, f.version) as (fd, seen):
            if piece.last:
                check_ends_at(fd, f.size)
            data = read_exactly(fd, piece.end - piece.start + lead,
                                piece.start - lead)
            check_unchanged(fd, f.source, seen)
        return SentJob(data, bool(lead), piece.last)

    def submit(self, task, worker):
        """Starts task on worker, less the pieces that cannot be read, which
        fail; returns its future, or None if no piece is left. Raises
        WorkerLost if worker cannot be reached."""
        jobs, kept = [], []
        for piece in task.pieces:
            try:
                jobs.append(self.read_piece(piece))
                kept.append(piece)
            except (Failure, OSError) as e:
                self.ledger.piece_done(piece, reason(e))
        task.pieces = kept
        if not jobs:
            return None
        scattered = self.cluster.scatter(pack_sent(jobs), worker)
        return self.cluster.submit(on_bytes, self.program, scattered,
                                   self.timeout, worker=worker)

    def results(self, packed):
        """The Results of a task, from what it gave back."""
        return results_on_bytes(packed)

    def keep_result(self, piece, result):
        f = piece.file
        if result.failure is None and f.failure is None:
            try:
                write_into(f.part, result.data, piece.start)
                result = result._replace(length=len(result.data))
            except OSError as e:
                result = Result(failure=reason(e))
        self.ledger.piece_returned(piece, result)
