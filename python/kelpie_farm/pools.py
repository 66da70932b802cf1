"""Device pools by property: which devices answer `param get NAME` with VALUE.

Every device's properties are asked once, at discovery, with `param get` (all of them in one
answer). A kelpie call holds the interpreter lock, so no thread could bound one: the asking
speaks the host protocol over plain sockets with a timeout instead, a thread for each
device, side by side, all within one deadline. A device that has not answered by then has
no properties.
"""

import socket
import struct
import threading
import time

DEADLINE = 10.0     # seconds for every device of the farm to answer
QUIET = 0.1         # seconds of silence after a line that end a shell's answer, as for kelpie
BANNER = b"OHOS HDC"
MAX_PACKET = 523264
# Command codes a reply may start with, which are not part of its text.
CODES = {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 13, 14, 1001, 1002, 1003, 2000, 2001, 3000, 3003, 3004}


class AskError(Exception):
    pass


def shell(server, serial, command, deadline):
    """The device's answer to a shell command, read as kelpie reads it, by `deadline`
    (time.monotonic()); AskError says why not."""
    host, _, port = server.rpartition(":")
    try:
        with socket.create_connection((host.strip("[]"), int(port)), timeout=max(left(deadline), 0.001)) as sock:
            record = read_packet(sock, deadline)
            if len(record) < 44 or record[:8] != BANNER:
                raise AskError("no HDC handshake")
            key = serial.encode("utf-8")[:32]
            reply = record[:12] + key + bytes(32 - len(key)) + (record[44:108] if len(record) >= 108 else b"")
            send_packet(sock, reply, deadline)
            send_packet(sock, b"shell " + command.encode("utf-8"), deadline)
            answer = b""
            while True:
                wait = deadline if not answer.endswith(b"\n") else min(deadline, time.monotonic() + QUIET)
                try:
                    payload = read_packet(sock, wait, empty_ok=True)
                except socket.timeout:
                    if wait < deadline:
                        break
                    raise
                if len(payload) >= 2 and payload[0] + 256 * payload[1] in CODES:
                    payload = payload[2:]
                if not payload:
                    break
                answer += payload
    except socket.timeout:
        raise AskError("no answer within the deadline") from None
    except (OSError, ValueError) as e:
        raise AskError(getattr(e, "strerror", None) or str(e)) from None
    return answer.decode("utf-8", "replace")


def left(deadline):
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        raise socket.timeout()
    return remaining


def send_packet(sock, payload, deadline):
    sock.settimeout(left(deadline))
    sock.sendall(struct.pack(">I", len(payload)) + payload)


def read_exactly(sock, count, deadline):
    data = bytearray()
    while len(data) < count:
        sock.settimeout(left(deadline))
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise AskError("the server closed the connection")
        data += chunk
    return bytes(data)


def read_packet(sock, deadline, empty_ok=False):
    (length,) = struct.unpack(">I", read_exactly(sock, 4, deadline))
    if length > MAX_PACKET or (length == 0 and not empty_ok):
        raise AskError("a packet of %d bytes" % length)
    return read_exactly(sock, length, deadline)


class Requirement(tuple):
    """NAME=VALUE: a device property and the value a device of the pool has."""

    __slots__ = ()

    def __new__(cls, text):
        name, sep, value = str(text).partition("=")
        name, value = name.strip(), value.strip()
        if not sep or not name:
            raise ValueError("a device requirement is NAME=VALUE (for example const.ohos.apiversion=11), not %r"
                             % str(text))
        return super().__new__(cls, (name, value))

    name = property(lambda self: self[0])
    value = property(lambda self: self[1])

    def __str__(self):
        return "%s=%s" % self


def requirements(texts):
    return [Requirement(t) for t in texts]


def matches(params, reqs):
    """Whether a device with these properties meets every requirement."""
    return params is not None and all(params.get(r.name) == r.value for r in reqs)


def describe(reqs):
    return ", ".join(str(r) for r in reqs)


def parse_params(answer):
    """{name: value} from `param get`'s "name = value" lines."""
    params = {}
    for line in answer.splitlines():
        name, sep, value = line.partition(" = ")
        if sep:
            params[name.strip()] = value.strip()
    return params


def ask_params(targets, timeout=DEADLINE):
    """({label: {name: value}}, problems): every device's properties, asked side by side; a
    device that did not answer within the deadline has none, and a problem says why."""
    deadline = time.monotonic() + timeout
    found, problems = {}, {}

    def ask(target):
        try:
            found[target.label] = parse_params(shell(target.server, target.serial, "param get", deadline))
        except AskError as e:
            problems[target.label] = "%s did not answer param get: %s" % (target.describe(), e)

    threads = [threading.Thread(target=ask, args=(t,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()) + 1.0)
    late = [t for t in targets if t.label not in found and t.label not in problems]
    return dict(found), [problems[t.label] for t in targets if t.label in problems] + [
        "%s did not answer param get within %g s" % (t.describe(), timeout) for t in late]
