# SPDX-License-Identifier: MIT
"""How files make tasks, and how a run places them, checks the workers'
programs, and sends work again, in process with a cluster of fakes."""

import argparse
import os
import subprocess

import pytest

from sentbreak_dask import plan, pool, run
from sentbreak_dask.cluster import Outcome, WorkerInfo
from sentbreak_dask.files import Ledger
from sentbreak_dask.plain import File
from sentbreak_dask.modes import Stored
from sentbreak_dask.parts import Outputs
from sentbreak_dask.report import Report
from sentbreak_dask.worker import Version, on_bytes


def sized(*sizes):
    return [File("f%d" % i, "o%d" % i, Version(n, 0, 0, 0, i))
            for i, n in enumerate(sizes)]


@pytest.mark.parametrize("sizes, block, tasks", [
    ([10] * 65, 4096, [64, 1]),
    ([5 << 20, 4 << 20], 64 << 20, [1, 1]),  # 8 MiB a task at most
    ([4 << 20, 4 << 20], 64 << 20, [2]),
    ([4096, 4097, 1], 4096, [1, 1, 2]),  # the large one in two, alone
    ([0], 4096, [1]),
])
def test_batches(sizes, block, tasks):
    files = sized(*sizes)
    made = list(plan.tasks_of(files, block, pytest.fail))
    assert [len(t) for t in made] == tasks
    for f in files:
        mine = [p for t in made for p in t if p.file is f]
        assert (mine[0].start, mine[-1].end, f.pending) == (0, f.size,
                                                            len(mine))
        assert [p.last for p in mine] == [False] * (len(mine) - 1) + [True]


class Future:
    def __init__(self, outcome):
        self.outcome = outcome

    def add_done_callback(self, callback):
        if self.outcome is not None:  # else it never ends
            callback(self)


class Cluster:
    """Workers in this process, by kind: "fit" ones run each task at once;
    a "wrong" one runs cat; a "lost" one loses each task; a "gone" one
    leaves at its first task, which never ends; a "silent" one passes its
    check, then neither answers nor beats."""

    def __init__(self, kinds):
        self.kinds, self.beats = dict(kinds), 0

    def workers(self):
        self.beats += 1
        return {a: WorkerInfo(1, 0 if kind == "silent" else self.beats)
                for a, kind in self.kinds.items()}

    def heartbeat_interval(self, workers):
        return 0.01

    def submit(self, function, program, *args, worker):
        kind = self.kinds.get(worker, "gone")
        if function is on_bytes:  # the check of its program
            kind = "wrong" if kind == "wrong" else "fit"
        elif kind == "gone":
            self.kinds.pop(worker, None)
        if kind == "lost":
            return Future(Outcome(lost=True))
        if kind in ("gone", "silent"):
            return Future(None)
        return Future(Outcome(results=function(
            "cat" if kind == "wrong" else program, *args)))

    def outcome(self, future):
        return future.outcome


@pytest.fixture
def quick(monkeypatch):
    for module, name, value in [(run, "WORKER_POLL", 0.01),
                                (pool, "GRACE", 0.2),
                                (run, "CONNECT_TIMEOUT", 0.2)]:
        monkeypatch.setattr(module, name, value)


TEXTS = [b"One. Two!\n", b"x. " * 3000, b""]


@pytest.mark.parametrize("kinds, files, unfit, fails", [
    (["fit", "fit"], 3, [], None),
    (["fit", "wrong"], 3, ["w1"], None),
    (["gone", "fit"], 3, [], None),
    (["lost", "fit"], 3, [], None),
    (["silent", "fit"], 3, [], None),
    (["lost", "lost", "lost", "fit"], 1, [], "lost its worker"),
    (["lost", "lost"], 1, [], "no workers left"),  # a send is left
    (["wrong", "wrong"], 3, ["w0"], "refused"),  # named once
])
def test_run(tmp_path, capfd, quick, sentbreak, kinds, files, unfit, fails):
    made = []
    for i, text in enumerate(TEXTS[:files]):
        (tmp_path / str(i)).write_bytes(text)
        st = os.stat(tmp_path / str(i))
        made.append(File(str(tmp_path / str(i)), str(tmp_path / "out" / str(
            i)), Version(st.st_size, st.st_mtime_ns, st.st_ctime_ns,
                         st.st_dev, st.st_ino)))
    ledger = Ledger(made, Outputs(0o644), Report())
    cluster = Cluster({"w%d" % i: kind for i, kind in enumerate(kinds)})
    args = argparse.Namespace(sentbreak=sentbreak, timeout=0.1,
                              block_size=4096, scheduler=None)
    go = run.Run(cluster, Stored(cluster, ledger, args), ledger,
                 ledger.report, args, lambda a: a).run_every_task
    if fails == "refused":
        with pytest.raises(run.NoWorkerFit):
            go()
    else:
        go()
    said = capfd.readouterr().err.splitlines()
    named = [line.split(": ")[1] for line in said
             if not line.split(": ")[1].startswith("/")]  # not a file
    assert named == unfit
    if fails is None:
        assert len(said) == len(unfit)
        for f, text in zip(made, TEXTS):
            with open(f.target, "rb") as out:
                assert out.read() == subprocess.run(
                    [sentbreak], input=text, stdout=subprocess.PIPE).stdout
    elif fails != "refused":
        assert [fails in f.failure for f in made] == [True] * files
    # A file whose piece went again to another worker is committed afresh.
    resends = {"lost", "gone", "silent"} & set(kinds)
    assert any(f.resent for f in made) == bool(resends)
