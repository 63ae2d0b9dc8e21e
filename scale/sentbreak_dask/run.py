# SPDX-License-Identifier: MIT
"""Sending the work to the workers, and taking its results.

Each task, a list of jobs from the pieces of the files, is placed on one
worker, at most DEPTH for each of its threads at a time. With shared
storage a task carries paths and offsets, and the worker reads and writes
the files itself. Without, the client reads each piece, scatters it
straight to its worker and takes the output back from there, so that the
scheduler carries no file bytes.

A task whose program fails is run again by Dask, RETRIES times. A task
whose worker leaves the cluster, or, given a timeout, takes longer than the
timeout and GRACE without an answer, is sent again to another worker, read
afresh, RETRIES times at most; that worker gets no more work. A file fails
only once one of its tasks has no try left.
"""

import collections
import dataclasses
import queue
import time

from . import worker
from .cluster import CONNECT_TIMEOUT

RETRIES = 2
DEPTH = 2
GRACE = 5.0
TICK = 1.0  # seconds between looks at the cluster's workers
TRAVEL = 16 << 20  # the largest piece that is sent to a worker


@dataclasses.dataclass(eq=False)
class Task:
    jobs: list  # of (File, start, end)
    sends: int = 0
    worker: str = None
    future: object = None
    began: float = None  # when it could start on its worker, seen from here


def describe(e):
    return "%s: %s" % (type(e).__name__, e)


def fetch(future):
    """What an ended task gave, fetched from its worker: its result, or the
    exception in its place. Done as each task ends, in Dask's thread for
    callbacks, so that the transfer overlaps the client's other work."""
    try:
        return future.result(timeout=CONNECT_TIMEOUT + GRACE)
    except Exception as e:
        return e


def block(args, shared):
    """The size of the pieces that files are cut into."""
    return args.block_size if shared else min(args.block_size, TRAVEL)


class Run:
    """The tasks of one run, and the workers they are placed on."""

    def __init__(self, client, args, pieces, shared):
        self.client, self.args = client, args
        self.pieces, self.shared = pieces, shared
        self.workers = {}  # address: threads, of those that get work
        self.lost = set()  # workers gone, or not answering
        self.on = collections.defaultdict(list)  # address: [Task], in order
        self.resend = collections.deque()
        self.ended = queue.Queue()  # (future, Task, what it gave)
        self.looked = self.alone = 0

    def look(self):
        """Takes in the workers that joined, and sends again the tasks of
        those that left or stopped answering."""
        now = time.monotonic()
        if now - self.looked < TICK:
            return
        self.looked = now
        current = self.client.nthreads()
        for w in list(self.on):
            if w not in current:
                self.drop(w, "lost its worker")
        self.workers = {w: n for w, n in current.items() if w not in self.lost}
        for w, tasks in list(self.on.items()):
            if self.args.timeout and any(
                    t.began and now - t.began > self.args.timeout + GRACE
                    for t in tasks):
                self.drop(w, "its worker gave no answer within %g s"
                          % (self.args.timeout + GRACE))

    def drop(self, w, why):
        """Gives w no more work, and sends its tasks elsewhere."""
        self.lost.add(w)
        self.workers.pop(w, None)
        for t in self.on.pop(w, []):
            future, t.future = t.future, None
            future.cancel()
            self.again(t, why)

    def again(self, t, why):
        if t.sends > RETRIES:
            for job in t.jobs:
                self.pieces.piece(job, why, None)
        else:
            self.resend.append(t)

    def room(self):
        """The worker with the least work that has room for more, or None."""
        free = [(len(self.on[w]) / n, w) for w, n in self.workers.items()
                if len(self.on[w]) < n * DEPTH]
        return min(free)[1] if free else None

    def started(self, w):
        """Notes when the tasks that w can run now began."""
        for t in self.on[w][:self.workers.get(w, 1)]:
            t.began = t.began or time.monotonic()

    def send(self, t, w):
        """Starts the task t on the worker w."""
        t.sends += 1
        live = []
        for job in t.jobs:
            f = job[0]
            if not f.failed and f.part is None:
                try:
                    f.part = self.pieces.outputs.make(f.target)
                except OSError as e:
                    f.failed = worker.reason(e)
            if f.failed:
                self.pieces.piece(job, None, None)
            else:
                live.append(job)
        t.jobs = live
        if not live:
            return
        a = self.args
        where = dict(workers=[w], allow_other_workers=False, pure=False)
        if self.shared:
            t.future = self.client.submit(
                worker.onfiles, a.sentbreak,
                [(f.source, f.ident, start, end, f.part)
                 for f, start, end in live],
                a.timeout, retries=RETRIES, **where)
        else:
            jobs, pieces = [], []
            for job in live:
                f, start, end = job
                try:
                    pieces.append((self.pieces.read(f, start, end),
                                   end == f.size))
                    jobs.append(job)
                except (worker.Failed, OSError) as e:
                    f.failed = worker.reason(e)
                    self.pieces.piece(job, None, None)
            t.jobs = jobs
            if not jobs:
                return
            try:
                [data] = self.client.scatter(
                    [pieces], workers=[w], direct=True, hash=False,
                    timeout=(a.timeout or CONNECT_TIMEOUT) + GRACE)
            except Exception:
                self.drop(w, "lost its worker")
                return self.again(t, "lost its worker")
            t.future = self.client.submit(worker.onbytes, a.sentbreak, data,
                                          a.timeout, retries=RETRIES,
                                          **where)
        t.worker = w
        self.on[w].append(t)
        self.started(w)
        t.future.add_done_callback(
            lambda future: self.ended.put((future, t, fetch(future))))

    def take(self, future, t, results):
        """Takes what the task t gave, if future is still its own."""
        if t.future is not future:
            return  # sent again since
        t.future = None
        self.on[t.worker].remove(t)
        self.started(t.worker)
        if future.status == "error":
            e = results
            results = e.args[1] if isinstance(e, worker.Again) and len(
                e.args) == 2 and len(e.args[1]) == len(t.jobs) else [
                (None, describe(e))] * len(t.jobs)
        elif isinstance(results, Exception):  # cancelled, as its scattered
            # piece was lost with its worker; or that worker did not answer
            self.drop(t.worker, "lost its worker")
            return self.again(t, "lost its worker")
        for job, (out, why) in zip(t.jobs, results):
            self.pieces.piece(job, why, out)

    def go(self):
        """Runs every task, each placed on a worker with room for it."""
        tasks, more = map(Task, self.pieces.tasks()), True
        while True:
            self.look()
            while self.resend or more:
                w = self.room()
                if w is None:
                    break
                t = self.resend.popleft() if self.resend else next(tasks, None)
                if t is None:
                    more = False
                    break
                self.send(t, w)
            if not any(self.on.values()):
                if not (self.resend or more):
                    return
                if self.workers:
                    continue
                self.alone = self.alone or time.monotonic()
                if time.monotonic() - self.alone > CONNECT_TIMEOUT:
                    return self.pieces.abandon("the cluster has no workers "
                                               "left")
            else:
                self.alone = 0
            try:
                self.take(*self.ended.get(timeout=TICK))
            except queue.Empty:
                pass
