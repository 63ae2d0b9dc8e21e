# SPDX-License-Identifier: MIT
"""Connecting to the cluster: one in this process, or one already running,
over TCP or TLS.

The cluster in this process runs its workers as threads, and the work is
done by the programs they start; it opens no port at all, not even the
HTTP pages that Dask serves by default. A running cluster is reached with
Dask's own security settings, or with the certificates given. A connection
the scheduler refuses is told apart within seconds, where Dask would wait
for its connect timeout, and named in our own words.
"""

import contextlib
import logging
import socket
import ssl
import sys
import threading
import warnings

CONNECT_TIMEOUT = 30
PROBE = 3  # seconds a scheduler has to show how it speaks
MAX_WORKERS = 128


class Refused(Exception):
    """A cluster that cannot be used, and what to do about it."""


def setup():
    """Keeps Dask's own words off standard error: its log lines and
    tracebacks, its warnings, and what its threads leave behind; what goes
    wrong reaches the run as a failed task or connection instead. Spares
    each task the copy of its caller's source that Dask keeps for its
    dashboard, and the pieces their compression, unless configured."""
    import dask
    import distributed  # noqa: F401 (and with it, its configuration)

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


def local(workers):
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
        silence_logs=logging.CRITICAL)
    return Client(cluster, set_as_default=False)


def security(args):
    """The Security of the options given, or Dask's configured one."""
    from distributed import Security

    given = {k: v for k, v in [("tls_ca_file", args.tls_ca_file),
                               ("tls_client_cert", args.tls_cert),
                               ("tls_client_key", args.tls_key)] if v}
    return Security(require_encryption=True, **given) if given else Security()


def first(sock):
    """Waits a little for the first bytes a server sends; None if none came."""
    sock.settimeout(PROBE)
    with contextlib.suppress(socket.timeout):
        return sock.recv(1)
    return None


def probe(address, sec):
    """Raises Refused if the scheduler at address will not take this
    client. A scheduler that cannot be reached is left for Dask to retry."""
    from distributed.comm import parse_address, parse_host_port

    try:
        scheme, where = parse_address(address)
        host, port = parse_host_port(where, 8786) if scheme in ("tcp", "tls") \
            else (None, None)
    except ValueError as e:
        raise Refused("not an address: %s" % e) from None
    if scheme not in ("tcp", "tls"):
        return
    try:
        ctx = sec.get_connection_args("client").get("ssl_context")
    except (OSError, ValueError) as e:  # ssl.SSLError is an OSError
        raise Refused("cannot use the certificates: %s" % (
            getattr(e, "reason", None) or getattr(e, "strerror", None)
            or e)) from None
    if scheme == "tls" and ctx is None:
        raise Refused("a tls:// address needs --tls-ca-file, --tls-cert and "
                      "--tls-key, or Dask's TLS configuration")
    try:
        sock = socket.create_connection((host, port), PROBE)
    except OSError:
        return
    with sock:
        if scheme == "tcp":
            if first(sock) is None:
                raise Refused("the scheduler does not answer plain TCP: give "
                              "its tls:// address and the certificates")
            return
        try:
            with ctx.wrap_socket(sock, do_handshake_on_connect=False) as tls:
                tls.settimeout(PROBE)
                tls.do_handshake()
                first(tls)
        except ssl.SSLCertVerificationError:
            raise Refused("the scheduler's certificate is not signed by "
                          "the CA of --tls-ca-file") from None
        except ssl.SSLError as e:
            if e.reason == "WRONG_VERSION_NUMBER":
                raise Refused("the scheduler speaks plain TCP, not TLS: "
                              "give its tcp:// address") from None
            raise Refused("the scheduler does not trust the certificate of "
                          "--tls-cert (%s)" % (e.reason or e)) from None
        except OSError:
            pass  # a timeout, say: Dask has the last word


def remote(args):
    """A client of the cluster whose scheduler is at args.scheduler, with at
    least one worker."""
    from distributed import Client

    sec = security(args)
    probe(args.scheduler, sec)
    try:
        client = Client(args.scheduler, timeout=CONNECT_TIMEOUT, security=sec,
                        direct_to_workers=True, set_as_default=False)
    except Exception as e:  # a malformed address as much as a lost cluster
        raise Refused("cannot reach the cluster: %s" % e) from None
    try:
        client.wait_for_workers(1, timeout=CONNECT_TIMEOUT)
    except Exception:
        client.close()
        raise Refused("the cluster has no workers") from None
    return client


def dashboard(client):
    """The address of the running scheduler's dashboard, if it has one: its
    pages need bokeh, which a scheduler may not have."""
    from distributed.comm import get_address_host, unparse_host_port

    def where(dask_scheduler):
        import sys
        from distributed.utils import get_tcp_server_addresses
        if "distributed.dashboard.scheduler" in sys.modules:
            return get_tcp_server_addresses(dask_scheduler.http_server)
        return []
    with contextlib.suppress(Exception):
        for host, port in client.run_on_scheduler(where)[:1]:
            if host in ("", "0.0.0.0", "::"):
                host = get_address_host(client.scheduler.address)
            return "http://%s/status" % unparse_host_port(host, port)
    return None
