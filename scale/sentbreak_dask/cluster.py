# SPDX-License-Identifier: MIT
"""The cluster: one in this process, or one already running, over TCP or
TLS; and the calls that the run makes of it, each bounded in time.

The cluster in this process runs its workers as threads, and the work is
done by the programs they start; it opens no port at all, not even the
HTTP pages that Dask serves by default. A running cluster is reached with
Dask's own security settings, or with the certificates given, once the
scheduler has shown that it will take this client.

Dask's own words are kept off standard error, unless SENTBREAK_DASK_DEBUG
is set: what goes wrong reaches the run as a failed task or call instead.
"""

import contextlib
import logging
import os
import sys
import threading
import warnings
from concurrent.futures import CancelledError
from typing import NamedTuple

from . import address
from .report import Refused

CONNECT_TIMEOUT = 30
GRACE = 5.0  # seconds past a timeout before the cluster is given up on
MAX_WORKERS = 128


class ClusterLost(Exception):
    """The cluster could not be reached; its argument says why."""


class WorkerLost(Exception):
    """A worker that could not be reached."""


class WorkerInfo(NamedTuple):
    threads: int
    heard: float  # when the scheduler last heard from it, by its clock


class Outcome(NamedTuple):
    """What came of a task."""
    results: list = None  # its Results, if it ran
    error: str = None  # what it raised on its worker, if it did
    lost: bool = False  # its worker, or the way there, was lost
    fault: BaseException = None  # what went wrong on this machine


def longest_wait(timeout):
    """The longest that any one call may wait for the cluster, for a run
    with timeout, which may be None."""
    return (timeout or CONNECT_TIMEOUT) + GRACE


def debugging():
    return bool(os.environ.get("SENTBREAK_DASK_DEBUG"))


def configure_dask():
    """Keeps Dask's own words off standard error: its log lines, its
    warnings, and what its threads leave behind. Spares each task the copy
    of its caller's source that Dask keeps for its dashboard, and the
    pieces their compression, unless configured."""
    import dask
    import distributed  # noqa: F401 (and with it, its configuration)

    if not debugging():
        logging.disable(logging.CRITICAL)
        warnings.simplefilter("ignore")
        threading.excepthook = lambda args: None
        sys.unraisablehook = lambda args: None
    dask.config.set({"distributed.diagnostics.computations.ignore-modules":
                     ["sentbreak_dask", "__main__"]})
    # Dask's default compresses where lz4 is installed. Pieces of prose on a
    # fast network then cost more in CPU time than they save: 2.95 s against
    # 1.68 s for 256 MiB on 2 cores, sent and back (bench/README.md).
    if dask.config.get("distributed.comm.compression") == "auto":
        dask.config.set({"distributed.comm.compression": None})


def local_client(workers):
    """A client of a cluster of workers, each of one thread, in this
    process."""
    from distributed import Client, Scheduler, SpecCluster, Worker

    class Closed(Scheduler):
        def start_http_server(self, *args, **kwargs):
            pass

    class ClosedWorker(Worker):
        def start_http_server(self, *args, **kwargs):
            pass

    cluster = SpecCluster(
        scheduler={"cls": Closed, "options": {"protocol": "inproc://",
                                              "dashboard": False}},
        workers={i: {"cls": ClosedWorker,
                     "options": {"nthreads": 1, "protocol": "inproc://"}}
                 for i in range(workers)},
        silence_logs=logging.CRITICAL if not debugging() else False)
    return Client(cluster, set_as_default=False)


def security(args):
    """The Security of the options given, or Dask's configured one."""
    from distributed import Security

    given = {k: v for k, v in [("tls_ca_file", args.tls_ca_file),
                               ("tls_client_cert", args.tls_cert),
                               ("tls_client_key", args.tls_key)] if v}
    return Security(require_encryption=True, **given) if given else Security()


def remote_client(args, wait):
    """A client of the cluster whose scheduler is at args.scheduler, with at
    least one worker, each found within wait seconds."""
    from distributed import Client

    sec = security(args)
    address.check(args.scheduler, sec, wait)
    try:
        client = Client(args.scheduler, timeout=wait, security=sec,
                        direct_to_workers=True, set_as_default=False)
    except (OSError, TimeoutError) as e:
        raise Refused(args.scheduler, "cannot reach the cluster: %s" % e
                      ) from None
    try:
        client.wait_for_workers(1, timeout=wait)
    except (OSError, TimeoutError):
        with contextlib.suppress(OSError, TimeoutError):
            client.close(timeout=wait)
        raise Refused(args.scheduler, "the cluster has no workers") from None
    return client


def dashboard_link(client, wait):
    """The address of the running scheduler's dashboard, if it has one: its
    pages need bokeh, which a scheduler may not have."""
    from distributed.comm import get_address_host, unparse_host_port

    def where(dask_scheduler):
        import sys
        from distributed.utils import get_tcp_server_addresses
        if "distributed.dashboard.scheduler" in sys.modules:
            return get_tcp_server_addresses(dask_scheduler.http_server)
        return []
    with contextlib.suppress(OSError, TimeoutError):
        for host, port in client.run_on_scheduler(
                where, callback_timeout=wait)[:1]:
            if host in ("", "0.0.0.0", "::"):
                host = get_address_host(client.scheduler.address)
            return "http://%s/status" % unparse_host_port(host, port)
    return None


class Cluster:
    """The calls that a run makes of a Dask client, none of which waits for
    the cluster longer than wait seconds."""

    def __init__(self, client, wait):
        self.client, self.wait = client, wait

    def workers(self):
        """Each worker's WorkerInfo, by its address."""
        try:
            info = self.client.sync(self.client.scheduler.identity,
                                    callback_timeout=self.wait)
        except (OSError, TimeoutError):
            raise ClusterLost("the scheduler gave no answer within %g s"
                              % self.wait) from None
        return {w: WorkerInfo(i["nthreads"], i["last_seen"])
                for w, i in info["workers"].items()}

    def heartbeat_interval(self, workers):
        """The seconds between the heartbeats of each of so many workers."""
        from distributed.scheduler import heartbeat_interval

        return heartbeat_interval(workers)

    def submit(self, function, *args, worker):
        """Starts function(*args) on worker; returns its future."""
        return self.client.submit(function, *args, workers=[worker],
                                  allow_other_workers=False, pure=False)

    def scatter(self, data, worker):
        """The future of data, put on worker."""
        async def scatter():  # Dask bounds only its wait for the worker
            return await self.client.scatter(
                [data], workers=[worker], direct=True, hash=False,
                timeout=self.wait, asynchronous=True)
        try:
            [future] = self.client.sync(scatter, callback_timeout=self.wait)
        except (OSError, TimeoutError):
            raise WorkerLost(worker) from None
        return future

    def outcome(self, future):
        """What came of the task of future, once it has ended."""
        try:
            return Outcome(results=future.result(timeout=self.wait))
        except Exception as e:
            if future.status == "error":
                return Outcome(error="%s: %s" % (type(e).__name__, e))
            if isinstance(e, (CancelledError, OSError, TimeoutError)):
                return Outcome(lost=True)
            return Outcome(fault=e)

    def close(self):
        cluster = self.client.cluster
        with contextlib.suppress(OSError, TimeoutError, RuntimeError):
            self.client.close(timeout=self.wait)
        if cluster is not None:
            with contextlib.suppress(OSError, TimeoutError, RuntimeError):
                cluster.close(timeout=self.wait)
