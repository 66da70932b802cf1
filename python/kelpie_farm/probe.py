"""A look at an HDC server with a deadline: the host protocol's handshake and "list targets"
over a plain socket with a timeout.

A kelpie call holds the interpreter lock until it returns and the wait for "list targets"
has no limit of its own, so a server that accepts connections but never answers (stopped,
hung) would hold the caller for ever. The plugin looks with this first, wherever it must
not hang: at the start, between tests, and before it gives a worker a device.
"""

import socket
import struct
import time

BANNER = b"OHOS HDC"
MIN_RECORD, LONG_RECORD = 44, 108
MAX_PACKET = 523264
# Command codes a reply may start with, which are not part of its text.
CODES = {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 13, 14, 1001, 1002, 1003, 2000, 2001, 3000, 3003, 3004}


class ProbeError(Exception):
    """The server did not answer as one does within the deadline; the message says how."""


def address(server):
    """(host, port) of "HOST:PORT" ("[v6]:PORT" too)."""
    host, sep, port = server.rpartition(":")
    if not sep or not port.isdigit() or int(port) > 65535:
        raise ProbeError("%r is not HOST:PORT" % server)
    return host.strip("[]"), int(port)


def canonical(server):
    """The server as the address and port it resolves to ("127.0.0.1:8710" for
    "localhost:8710"), so that one server named two ways counts once; the name itself
    when it does not resolve (its probe says why)."""
    try:
        host, port = address(server)
        info = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
    except (ProbeError, OSError):
        return server
    family, _, _, _, sockaddr = info[0]
    return ("[%s]:%d" if family == socket.AF_INET6 else "%s:%d") % (sockaddr[0], sockaddr[1])


def list_targets(server, timeout):
    """The serials the server lists, within `timeout` seconds all told, or ProbeError."""
    deadline = time.monotonic() + timeout
    try:
        host, port = address(server)
        with socket.create_connection((host, port), timeout=max(timeout, 0.001)) as sock:
            record = _read_packet(sock, deadline)
            if len(record) < MIN_RECORD or record[:8] != BANNER:
                raise ProbeError("it is not an HDC server (no handshake)")
            reply = record[:12] + bytes(32) + (record[44:LONG_RECORD] if len(record) >= LONG_RECORD else b"")
            _send_packet(sock, reply, deadline)
            _send_packet(sock, b"list targets", deadline)
            payload = _read_packet(sock, deadline)
    except socket.timeout:
        raise ProbeError("no answer within %g s" % timeout) from None
    except OSError as e:
        raise ProbeError(e.strerror or str(e)) from None
    if len(payload) >= 2 and payload[0] + 256 * payload[1] in CODES:
        payload = payload[2:]
    text = payload.decode("utf-8", "replace")
    serials = [line.strip() for line in text.split("\n") if line.strip()]
    return [] if serials == ["[Empty]"] else serials


def _left(deadline):
    left = deadline - time.monotonic()
    if left <= 0:
        raise socket.timeout()
    return left


def _send_packet(sock, payload, deadline):
    sock.settimeout(_left(deadline))
    sock.sendall(struct.pack(">I", len(payload)) + payload)


def _read_exactly(sock, count, deadline):
    data = bytearray()
    while len(data) < count:
        sock.settimeout(_left(deadline))
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ProbeError("the server closed the connection")
        data += chunk
    return bytes(data)


def _read_packet(sock, deadline):
    (length,) = struct.unpack(">I", _read_exactly(sock, 4, deadline))
    if length == 0 or length > MAX_PACKET:
        raise ProbeError("it sent a packet of %d bytes" % length)
    return _read_exactly(sock, length, deadline)
