# SPDX-License-Identifier: MIT
"""The two ways that pieces reach the workers, one chosen for a run.

Stored: the workers see the files at the same paths as this machine (the
cluster in this process, or --shared), so a task carries paths and
offsets, and each worker reads its pieces and writes their outputs itself.

Sent: this machine reads each piece, with the byte before it, scatters it
straight to the worker that runs it, takes the output back from there and
writes it into place; the workers need not see the files at all.
"""

from . import plan
from .program import Failure, reason
from .worker import WINDOW, Result, results_on_bytes, results_on_storage

TRAVEL = WINDOW  # the most text of a piece that is sent to a worker


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
        return plan.tasks_of(self.ledger.files, self.block,
                             self.ledger.fail_now)

    def submit(self, task, worker):
        """Starts task on worker; returns its future."""
        kind = type(task.pieces[0].file)
        jobs = [p.file.stored_job(p) for p in task.pieces]
        return self.cluster.submit(kind.on_storage, self.program,
                                   kind.pack_stored(jobs), self.timeout,
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
        return plan.tasks_of(self.ledger.files, self.block,
                             self.ledger.fail_now)

    def submit(self, task, worker):
        """Starts task on worker, less the pieces that cannot be read, which
        fail; returns its future, or None if no piece is left. Raises
        WorkerLost if worker cannot be reached."""
        jobs, kept = [], []
        for piece in task.pieces:
            try:
                jobs.append(piece.file.sent_job(piece))
                kept.append(piece)
            except (Failure, OSError) as e:
                self.ledger.piece_done(piece, reason(e))
        task.pieces = kept
        if not jobs:
            return None
        kind = type(kept[0].file)
        scattered = self.cluster.scatter(kind.pack_sent(jobs), worker)
        return self.cluster.submit(kind.on_bytes, self.program, scattered,
                                   self.timeout, worker=worker)

    def results(self, packed):
        """The Results of a task, from what it gave back."""
        return results_on_bytes(packed)

    def keep_result(self, piece, result):
        f = piece.file
        if result.failure is None and f.failure is None:
            try:
                result = f.keep_sent(piece, result, self.ledger.outputs)
            except OSError as e:
                result = Result(failure=reason(e))
        self.ledger.piece_returned(piece, result)
