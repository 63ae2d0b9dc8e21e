# SPDX-License-Identifier: MIT
"""The workers of a run: which have passed the check of their program,
which have left or fallen silent, and how much work each holds.

A worker gets work only once its program has passed a check: a run on
rule.PROBE, whose output must be what the rule gives. One that fails it is
named, once for each reason, and gets none. Given a timeout, a worker is
given up when no heartbeat has come from it for that timeout and GRACE,
when its check has not ended within them, or when it holds a task longer
than the task's program runs may take and GRACE.
"""

import dataclasses
import time

from .cluster import GRACE
from .rule import PROBE, expected_output
from .program import UNSTARTED
from .worker import Result, SentJob, on_bytes, pack_sent, results_on_bytes

DEPTH = 2  # tasks for each thread of a worker at a time
CHECK_TIMEOUT = 30  # for the check of a program, where no timeout is given


@dataclasses.dataclass(eq=False)
class Worker:
    threads: int
    state: str = "checking"  # then "fit", "unfit" or "gone"
    heard: float = None  # its last heartbeat, by the scheduler's clock
    since: float = 0.0  # when that heartbeat was first seen here
    asked: float = 0.0  # when its check was sent
    tasks: list = dataclasses.field(default_factory=list)  # in order


class Pool:
    """The workers of one run, by address."""

    def __init__(self, cluster, report, args, label, on_end):
        self.cluster, self.report, self.label = cluster, report, label
        self.program, self.timeout = args.sentbreak, args.timeout
        self.on_end = on_end  # has a function called once a task has ended
        self.workers = {}
        self.said = set()

    def admit(self, info):
        """Takes in the workers of info, a WorkerInfo by address, that
        joined, and starts the check of each; notes when each was heard."""
        now = time.monotonic()
        for a, i in info.items():
            w = self.workers.get(a)
            if w is None:
                w = self.workers[a] = Worker(i.threads)
                self.start_check(a)
            if w.heard != i.heard:
                w.heard, w.since = i.heard, now

    def to_give_up(self, info):
        """The address of each worker that must be given up, seen what info
        says of the cluster's workers, and why."""
        now = time.monotonic()
        gone = [(a, "lost its worker") for a, w in self.workers.items()
                if a not in info and w.state != "gone"]
        if not self.timeout:
            return gone
        silence = self.timeout + GRACE + self.cluster.heartbeat_interval(
            len(info))
        for a, w in self.workers.items():
            if w.state not in ("checking", "fit") or a not in info:
                continue
            if w.state == "checking" and now - w.asked > self.timeout + GRACE:
                gone.append((a, "its worker did not check its program in "
                             "time"))
            elif now - w.since > silence:
                gone.append((a, "its worker was silent for %.0f s" % silence))
            elif any(t.began and now - t.began > t.runs() * self.timeout
                     + GRACE for t in w.tasks):
                gone.append((a, "its worker gave no answer in time"))
        return gone

    def start_check(self, a):
        """Runs the program on a, once, on the probe."""
        self.workers[a].asked = time.monotonic()
        future = self.cluster.submit(
            on_bytes, self.program, pack_sent([SentJob(PROBE, False, True)]),
            self.timeout or CHECK_TIMEOUT, worker=a)
        self.on_end(future, self.check_ended, a)

    def check_ended(self, a, future, outcome):
        """Takes the outcome of a's check."""
        w = self.workers[a]
        if w.state != "checking":
            return
        if outcome.lost:
            w.state = "gone"
            return
        [result] = results_on_bytes(outcome.results) if outcome.error is \
            None else [Result(failure=outcome.error)]
        w.state = "fit" if result.data == expected_output(PROBE) else "unfit"
        why = result.failure or ("%s gives the wrong output on a test "
                                 "input: it is not sentbreak" % self.program)
        if w.state == "unfit" and why not in self.said:
            self.said.add(why)
            if result.failure is None or why.startswith(UNSTARTED):
                why += "; give the program's path with --sentbreak"
            else:
                why = "its program fails on a test input: " + why
            self.report.say(self.label(a), why)

    def least_busy_with_room(self):
        """The address of the fit worker with the least work that has room
        for more, or None. While a worker is being checked, the others take
        no task ahead, which it would otherwise not get."""
        depth = 1 if "checking" in self.states() else DEPTH
        free = [(len(w.tasks) / w.threads, a) for a, w in self.workers.items()
                if w.state == "fit" and len(w.tasks) < w.threads * depth]
        return min(free)[1] if free else None

    def note_started(self, a):
        """Notes when the tasks that a can run now began."""
        w = self.workers[a]
        for t in w.tasks[:w.threads]:
            t.began = t.began or time.monotonic()

    def running(self):
        """Whether any task is running."""
        return any(w.tasks for w in self.workers.values())

    def states(self):
        return {w.state for w in self.workers.values()}
