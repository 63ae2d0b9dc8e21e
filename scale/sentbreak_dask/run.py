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
from .rule import spans
from .worker import RETRIES, WINDOW, Result

RESENDS = 2
LOOK = 1.0  # seconds between looks at the cluster's workers


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
        return (1 + RETRIES) * sum(len(spans(p.start, p.end, WINDOW))
                                   for p in self.pieces)


class Run:
    """The tasks of one run, and the workers they are placed on."""

    def __init__(self, cluster, mode, ledger, report, args, label):
        self.cluster, self.mode, self.ledger = cluster, mode, ledger
        self.pool = Pool(cluster, report, args, label, self.watch)
        self.program = args.sentbreak
        self.resend = collections.deque()
        self.ended = queue.Queue()  # (what takes it, its owner, Fetched)
        self.looked = self.stranded = 0.0
        self.sent = False

    def watch(self, future, take, owner):
        """Has take(owner, future, what came of it) called once it ends,
        having fetched its result in Dask's thread for callbacks, so that
        the transfer overlaps the work here."""
        future.add_done_callback(lambda f: self.ended.put(
            (take, owner, f, self.cluster.fetch(f))))

    def look(self):
        """Takes in the workers that joined, and sends again the tasks of
        those that are given up."""
        if time.monotonic() - self.looked >= LOOK:
            self.looked = time.monotonic()
            for a, why in self.pool.look():
                self.drop(a, why)

    def drop(self, a, why):
        """Gives a no more work, and sends its tasks elsewhere."""
        w = self.pool.workers[a]
        w.state = "gone" if w.state != "unfit" else w.state
        for t in w.tasks:
            t.future = None  # which lets Dask forget it
            self.again(t, why)
        w.tasks = []

    def again(self, t, why):
        if t.sends > RESENDS:
            for piece in t.pieces:
                self.ledger.settle(piece, why)
        else:
            self.resend.append(t)

    def send(self, t, a):
        """Starts the task t on the worker a."""
        t.sends += 1
        live = []
        for piece in t.pieces:
            if self.ledger.ready(piece.file):
                live.append(piece)
            else:
                self.ledger.settle(piece)
        t.pieces = live
        try:
            future = self.mode.submit(t, a) if live else None
        except WorkerLost:
            self.drop(a, "lost its worker")
            return self.again(t, "lost its worker")
        if future is None:
            return
        self.sent = True
        t.future, t.worker, t.began = future, a, None
        self.pool.workers[a].tasks.append(t)
        self.pool.started(a)
        self.watch(future, self.took, t)

    def took(self, t, future, fetched):
        """Takes what the task t gave, if future is still its own."""
        if t.future is not future:
            return  # sent again since
        t.future = None
        self.pool.workers[t.worker].tasks.remove(t)
        self.pool.started(t.worker)
        if fetched.lost:
            self.drop(t.worker, "lost its worker")
            return self.again(t, "lost its worker")
        results = fetched.results or [Result(failure=fetched.error)] * len(
            t.pieces)
        for piece, result in zip(t.pieces, results):
            self.mode.take(piece, result)

    def place(self, tasks):
        """Sends tasks while a worker has room; False once none is left."""
        while (a := self.pool.room()) is not None:
            t = self.resend.popleft() if self.resend else next(tasks, None)
            if t is None:
                return False
            self.send(t, a)
        return True

    def strand(self):
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
        self.ledger.abandon("the cluster has no workers left that can run "
                            "%s" % self.program)
        return True

    def go(self):
        """Runs every task of the mode's."""
        tasks, more = map(Task, self.mode.batches()), True
        while True:
            self.look()
            more = self.place(tasks) and more
            if self.pool.idle() and (not (more or self.resend)
                                     or self.strand()):
                return
            try:
                take, owner, future, fetched = self.ended.get(timeout=LOOK)
            except queue.Empty:
                continue
            if fetched.fault is not None:
                raise fetched.fault
            take(owner, future, fetched)
