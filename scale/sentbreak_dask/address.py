# SPDX-License-Identifier: MIT
"""Whether the scheduler at an address will take this client, told within
seconds and named in our own words, where Dask would wait for its connect
timeout and then give its own. A server that cannot be reached is tried
again, as Dask would, and then named with the reason of the last try.

A Dask scheduler greets each connection first, over TCP or TLS, with a
length of eight bytes and a count of frames. A server that says nothing
first is asked whether it speaks HTTP, and then whether it speaks TLS.
"""

import contextlib
import socket
import ssl
import struct
import time

from .report import Refused

WAIT = 3  # seconds a server has to show how it speaks
SCHEMES = ("tcp", "tls")
USE = "give tcp://HOST:PORT or tls://HOST:PORT"
EXPIRED, NOT_YET = 10, 9  # X509_V_ERR_CERT_HAS_EXPIRED, ..._NOT_YET_VALID


def parse(address):
    """The scheme, host and port of a scheduler's address."""
    from distributed.comm import parse_address, parse_host_port

    try:
        scheme, where = parse_address(address)
        if scheme not in SCHEMES:
            raise ValueError("%s:// is not for a scheduler elsewhere: %s"
                             % (scheme, USE))
        host, port = parse_host_port(where)
        if not 0 < port < 65536:
            raise ValueError("no port %d" % port)
    except ValueError as e:
        raise Refused(address, "not an address: %s" % e) from None
    return scheme, host, port


def reach(address, host, port, wait):
    """A socket connected to host and port, tried again for wait seconds;
    Refused, with the reason of the last try, if none connects."""
    end = time.monotonic() + wait
    while True:
        try:
            return socket.create_connection((host, port), WAIT)
        except socket.gaierror as e:  # which no wait mends
            raise Refused(address, "cannot reach the scheduler: %s"
                          % e.strerror) from None
        except OSError as e:
            if time.monotonic() >= end:
                raise Refused(address, "cannot reach the scheduler: %s"
                              % (e.strerror or "no answer")) from None
        time.sleep(0.5)


def is_dask_greeting(data):
    """Whether data opens as Dask's messages do."""
    if len(data) < 16:
        return False
    return any(16 <= total <= 1 << 24 and 1 <= frames <= 1024
               for total, frames in (struct.unpack(order + "QQ", data[:16])
                                     for order in "<>"))


def first_bytes(sock):
    """The first bytes that a server sends, or b"" if none come soon."""
    sock.settimeout(WAIT)
    data = b""
    with contextlib.suppress(socket.timeout):
        while len(data) < 16 and (chunk := sock.recv(16 - len(data))):
            data += chunk
    return data


def what_it_speaks(host, port):
    """What a server that did not greet as Dask does answers: "http",
    "tls" or "other"; None if it says nothing at all, as a scheduler too
    busy to answer might."""
    answered = False
    try:
        with socket.create_connection((host, port), WAIT) as sock:
            sock.settimeout(WAIT)
            sock.sendall(b"HEAD / HTTP/1.0\r\n\r\n")
            if sock.recv(5).startswith(b"HTTP/"):
                return "http"
        answered = True
    except TimeoutError:
        pass
    except OSError:  # reset, say
        answered = True
    anyone = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    anyone.check_hostname, anyone.verify_mode = False, ssl.CERT_NONE
    try:
        with socket.create_connection((host, port), WAIT) as sock, \
                anyone.wrap_socket(sock):
            return "tls"
    except ssl.SSLError as e:  # an alert from a server that wants a client
        return "tls" if "ALERT" in (e.reason or "") else "other"  # cert
    except TimeoutError:
        return "other" if answered else None
    except OSError:
        return "other"


def why_not_dask(host, port):
    """Why a server that does not greet as Dask does is not a scheduler;
    None if it said nothing at all."""
    kind = what_it_speaks(host, port)
    return kind and {
        "http": "not a Dask scheduler: it answers HTTP (a dashboard?)",
        "tls": "the scheduler speaks TLS: give its tls:// address and the "
        "certificates",
        "other": "not a Dask scheduler: it does not answer as one"}[kind]


def why_not_tls(host, port):
    """Why a server that does not speak TLS is not the one."""
    with contextlib.suppress(OSError), \
            socket.create_connection((host, port), WAIT) as sock:
        if is_dask_greeting(first_bytes(sock)):
            return "the scheduler speaks plain TCP, not TLS: give its " \
                "tcp:// address"
    return why_not_dask(host, port) or "not a Dask scheduler: it does not " \
        "speak TLS"


def why_untrusted(e):
    """Why the scheduler's certificate was not accepted."""
    if e.verify_code == EXPIRED:
        return "the scheduler's certificate has expired"
    if e.verify_code == NOT_YET:
        return "the scheduler's certificate is not valid yet"
    return ("the scheduler's certificate is not signed by the CA of "
            "--tls-ca-file (%s; is another cluster's scheduler there?)"
            % e.verify_message)


def why_refused(e):
    """Why the scheduler did not accept this client over TLS."""
    if e.reason == "WRONG_VERSION_NUMBER":
        return None  # not TLS at all
    if "EXPIRED" in (e.reason or ""):
        return "the scheduler refuses the certificate of --tls-cert: it " \
            "has expired"
    return "the scheduler does not trust the certificate of --tls-cert " \
        "(%s)" % (e.reason or e)


def check_tls(address, sock, ctx, host, port):
    try:
        with ctx.wrap_socket(sock, do_handshake_on_connect=False) as tls:
            tls.settimeout(WAIT)
            tls.do_handshake()
            first = first_bytes(tls)
    except ssl.SSLCertVerificationError as e:
        raise Refused(address, why_untrusted(e)) from None
    except ssl.SSLError as e:
        why = why_refused(e) or why_not_tls(host, port)
        raise Refused(address, why) from None
    except OSError:
        return  # a timeout, say: Dask has the last word
    if first and not is_dask_greeting(first):
        raise Refused(address, "not a Dask scheduler: it does not answer "
                      "as one")


def client_context(address, sec):
    """The TLS context of Security sec for a client, or None."""
    for path in filter(None, (sec.tls_ca_file, sec.tls_client_cert,
                              sec.tls_client_key)):
        try:
            open(path, "rb").close()
        except OSError as e:
            raise Refused(path, "cannot read it: %s" % e.strerror) from None
    try:
        return sec.get_connection_args("client").get("ssl_context")
    except (OSError, ValueError) as e:  # ssl.SSLError is an OSError
        why = getattr(e, "reason", None) or getattr(e, "strerror", None) or e
        raise Refused(address, "cannot use the certificates: %s" % {
            "KEY_VALUES_MISMATCH": "the key is not the certificate's",
            "PEM lib": "a certificate or key is not in PEM form"}.get(
                why, why)) from None


def check(address, sec, wait):
    """Raises Refused if the scheduler at address will not take a client
    with the Security sec, or cannot be reached within wait seconds."""
    scheme, host, port = parse(address)
    ctx = client_context(address, sec)
    if scheme == "tls" and ctx is None:
        raise Refused(address, "a tls:// address needs --tls-ca-file, "
                      "--tls-cert and --tls-key, or Dask's TLS configuration")
    if scheme == "tcp" and sec.require_encryption:
        raise Refused(address, "TLS is required, by the --tls- options or "
                      "by Dask's configuration: give a tls:// address")
    sock = reach(address, host, port, wait)
    if scheme == "tls":
        with sock:
            return check_tls(address, sock, ctx, host, port)
    with sock:
        greeted = is_dask_greeting(first_bytes(sock))
    if not greeted and (why := why_not_dask(host, port)):
        raise Refused(address, why)
