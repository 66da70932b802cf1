"""A look at an HDC server with a deadline: the host protocol's handshake and "list targets"
over a plain socket with a timeout.

A kelpie call holds the interpreter lock until it returns and the wait for "list targets"
has no limit of its own, so a server that accepts connections but never answers (stopped,
hung) would hold the caller for ever. The plugin looks with this first, wherever it must
not hang: at the start, between tests, and before it gives a worker a device.
"""

import socket
import struct
import threading
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
    if not sep or not (port.isascii() and port.isdigit() and len(port) <= 5) or int(port) > 65535:
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
    """The serials the server lists, within `timeout` seconds all told, or ProbeError; over
    a connection of its own, closed before it returns."""
    prober = Prober(server)
    try:
        return prober.list_targets(timeout)
    finally:
        prober.close()


class Prober:
    """Looks at one server, keeping its connection between looks, so that a look is one
    command and its reply. A look that fails in any way drops the connection (a reply it
    did not read must not become the next look's), and one made again once, within the
    same deadline, before the server counts as unreachable (it may have restarted). One
    look at a time; a second caller meanwhile looks over a connection of its own."""

    def __init__(self, server):
        self.server = server
        self._sock = None
        self._lock = threading.Lock()

    def list_targets(self, timeout):
        deadline = time.monotonic() + timeout
        if not self._lock.acquire(blocking=False):
            return list_targets(self.server, timeout)
        try:
            for attempt in (0, 1):
                fresh = self._sock is None
                try:
                    if fresh:
                        self._sock = connect(self.server, deadline)
                    send_packet(self._sock, b"list targets", deadline)
                    return _serials(read_packet(self._sock, deadline))
                except (ProbeError, OSError) as e:
                    self.close()
                    if fresh or attempt or isinstance(e, socket.timeout):
                        raise _probe_error(e, timeout) from None
        finally:
            self._lock.release()

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None


def _probe_error(e, timeout):
    if isinstance(e, ProbeError):
        return e
    if isinstance(e, socket.timeout):
        return ProbeError("no answer within %s s" % seconds(timeout))
    return ProbeError(e.strerror or str(e))


def seconds(value):
    """Seconds as a person reads them: to one decimal, without a trailing ".0" (3.3, 1, 0.5)."""
    return ("%.1f" % value).rstrip("0").rstrip(".") if value >= 0.05 else "%.2g" % value


def connect(server, deadline, serial=""):
    """A connection to the server, its handshake done, by `deadline` (time.monotonic()):
    for the device `serial`, as kelpie's connect_device makes one, or for the server itself."""
    host, port = address(server)
    sock = socket.create_connection((host, port), timeout=time_left(deadline))
    try:
        record = read_packet(sock, deadline)
        if len(record) < MIN_RECORD or record[:8] != BANNER:
            raise ProbeError("it is not an HDC server (no handshake)")
        key = serial.encode("utf-8")[:32].ljust(32, b"\0")
        reply = record[:12] + key + (record[MIN_RECORD:LONG_RECORD] if len(record) >= LONG_RECORD else b"")
        send_packet(sock, reply, deadline)
        return sock
    except BaseException:
        sock.close()
        raise


def strip_code(payload):
    """A reply's text: the payload without the command code it may start with."""
    if len(payload) >= 2 and payload[0] + 256 * payload[1] in CODES:
        return payload[2:]
    return payload


def _serials(payload):
    text = strip_code(payload).decode("utf-8", "replace")
    serials = [line.strip() for line in text.split("\n") if line.strip()]
    return [] if serials == ["[Empty]"] else serials


def time_left(deadline):
    """Seconds left until `deadline` (time.monotonic()); socket.timeout once it has passed."""
    left = deadline - time.monotonic()
    if left <= 0:
        raise socket.timeout()
    return left


def send_packet(sock, payload, deadline):
    """Sends one packet of the host protocol: its length (4 bytes, big-endian), then it."""
    sock.settimeout(time_left(deadline))
    sock.sendall(struct.pack(">I", len(payload)) + payload)


def _read_exactly(sock, count, deadline):
    data = bytearray()
    while len(data) < count:
        sock.settimeout(time_left(deadline))
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ProbeError("the server closed the connection")
        data += chunk
    return bytes(data)


def read_packet(sock, deadline):
    """Reads one packet of the host protocol by `deadline`."""
    (length,) = struct.unpack(">I", _read_exactly(sock, 4, deadline))
    if length == 0 or length > MAX_PACKET:
        raise ProbeError("it sent a packet of %d bytes" % length)
    return _read_exactly(sock, length, deadline)
