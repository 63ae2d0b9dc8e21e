# SPDX-License-Identifier: MIT
"""Sending the work to the workers, and taking its results.

Each task, a list of pieces, is placed on one worker of the pool that has
passed the check of its program and has room. If no worker passes, the
run does not start. A task whose worker is given up, having left the
cluster or fallen silent, is sent again to another, RESENDS times at most;
a file fails only once one of its tasks has no send left, or no worker is
left at all.
"""

import collections
import dataclasses
import queue
import time

from .cluster import CONNECT_TIMEOUT, WorkerLost
from .pool import Pool
from .worker import RETRIES, Result

RESENDS = 2
WORKER_POLL = 1.0  # seconds between looks at the cluster's workers


class NoWorkerFit(Exception):
    """No worker of the cluster can run the program: each has said why."""


@dataclasses.dataclass(eq=False)
class Task:
    pieces: list
    sends: int = 0
    worker: str = None
    future: object = None
    began: float = None  # when it could start on its worker, seen from here

    def runs(self):
        """How many runs of the program it may take, every try counted."""
        return (1 + RETRIES) * sum(p.file.runs(p) for p in self.pieces)


class Run:
    """The tasks of one run, and the workers they are placed on."""

    def __init__(self, cluster, mode, ledger, report, args, label):
        self.cluster, self.mode, self.ledger = cluster, mode, ledger
        self.pool = Pool(cluster, report, args, label, self.on_end)
        self.program = args.sentbreak
        self.resend = collections.deque()
        self.ended = queue.Queue()  # (what takes it, its owner, Outcome)
        self.refreshed = self.stranded = 0.0
        self.sent = False

    def on_end(self, future, take, owner):
        """Has take(owner, future, what came of it) called once it ends,
        having fetched its result in Dask's thread for callbacks, so that
        the transfer overlaps the work here."""
        future.add_done_callback(lambda f: self.ended.put(
            (take, owner, f, self.cluster.outcome(f))))

    def refresh_workers(self):
        """Takes in the workers that joined, and sends again the tasks of
        those that must be given up."""
        if time.monotonic() - self.refreshed >= WORKER_POLL:
            self.refreshed = time.monotonic()
            info = self.cluster.workers()
            self.pool.admit(info)
            for a, why in self.pool.to_give_up(info):
                self.give_up(a, why)

    def give_up(self, a, why):
        """Gives a no more work, and sends its tasks elsewhere."""
        w = self.pool.workers[a]
        w.state = "gone" if w.state != "unfit" else w.state
        for t in w.tasks:
            t.future = None  # which lets Dask forget it
            self.resend_or_fail(t, why)
        w.tasks = []

    def resend_or_fail(self, t, why):
        if t.sends > RESENDS:
            for piece in t.pieces:
                self.ledger.piece_done(piece, why)
            return
        for piece in t.pieces:
            piece.file.resent = True
        self.resend.append(t)

    def send(self, t, a):
        """Starts the task t on the worker a."""
        t.sends += 1
        live = []
        for piece in t.pieces:
            if not self.ledger.part_ready(piece.file):
                self.ledger.piece_done(piece)
            elif not self.ledger.kept(piece):
                live.append(piece)
        t.pieces = live
        try:
            future = self.mode.submit(t, a) if live else None
        except WorkerLost:
            self.give_up(a, "lost its worker")
            return self.resend_or_fail(t, "lost its worker")
        if future is None:
            return
        self.sent = True
        t.future, t.worker, t.began = future, a, None
        self.pool.workers[a].tasks.append(t)
        self.pool.note_started(a)
        self.on_end(future, self.task_ended, t)

    def task_ended(self, t, future, outcome):
        """Takes what the task t gave, if future is still its own."""
        if t.future is not future:
            return  # sent again since
        t.future = None
        self.pool.workers[t.worker].tasks.remove(t)
        self.pool.note_started(t.worker)
        if outcome.lost:
            self.give_up(t.worker, "lost its worker")
            return self.resend_or_fail(t, "lost its worker")
        results = self.mode.results(outcome.results) if outcome.error is None \
            else [Result(failure=outcome.error)] * len(t.pieces)
        for piece, result in zip(t.pieces, results):
            self.mode.keep_result(piece, result)

    def send_while_room(self, tasks):
        """Sends tasks while a worker has room; False once none is left."""
        while (a := self.pool.least_busy_with_room()) is not None:
            t = self.resend.popleft() if self.resend else next(tasks, None)
            if t is None:
                return False
            self.send(t, a)
        return True

    def stranded_too_long(self):
        """Deals with work that no worker can take; True if the run ends."""
        states = self.pool.states()
        if "fit" in states:
            self.stranded = 0.0
            return False
        if states == {"unfit"} and not self.sent:
            raise NoWorkerFit()
        self.stranded = self.stranded or time.monotonic()
        if time.monotonic() - self.stranded < CONNECT_TIMEOUT:
            return False
        self.ledger.fail_unfinished("the cluster has no workers left that "
                                    "can run %s" % self.program)
        return True

    def run_every_task(self):
        """Runs every task of the mode's."""
        tasks, more = map(Task, self.mode.tasks()), True
        while True:
            self.refresh_workers()
            more = self.send_while_room(tasks) and more
            if not self.pool.running() and (
                    not (more or self.resend) or "checking" not in
                    self.pool.states() and self.stranded_too_long()):
                return self.ledger.flush()
            try:
                take, owner, future, outcome = self.ended.get(
                    timeout=WORKER_POLL)
            except queue.Empty:
                continue
            if outcome.fault is not None:
                raise outcome.fault
            take(owner, future, outcome)
