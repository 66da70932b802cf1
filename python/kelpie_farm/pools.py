"""Device pools by property: which devices answer `param get NAME` with VALUE.

Every device's properties are asked once, at discovery, with `param get` (all of them in one
answer). A kelpie call holds the interpreter lock, so no thread could bound one: the asking
speaks the host protocol over plain sockets with a timeout instead, as the probes do
(probe.py), a thread for each device, side by side, all within one deadline. A device that
has not answered by then has no properties.
"""

import socket
import threading
import time

from .probe import ProbeError, connect, read_packet, seconds, send_packet, strip_code

DEADLINE = 10.0     # seconds for every device of the farm to answer
QUIET = 0.1         # seconds of silence after a line that end a shell's answer, as for kelpie


def shell(server, serial, command, deadline):
    """The device's answer to a shell command, read as kelpie reads it, by `deadline`
    (time.monotonic()); ProbeError says why not."""
    return device_command(server, serial, "shell " + command, deadline)


def device_command(server, serial, request, deadline):
    """The device's answer to a command of the host protocol ("shell ...", "hilog -x"), read
    as kelpie reads it, by `deadline`. The connection's handshake names the device, as
    kelpie's connect_device does."""
    try:
        with connect(server, deadline, serial) as sock:
            send_packet(sock, request.encode("utf-8"), deadline)
            answer = b""
            while True:
                quiet = answer.endswith(b"\n")
                try:
                    payload = read_packet(sock, min(deadline, time.monotonic() + QUIET) if quiet else deadline)
                except socket.timeout:
                    if quiet and time.monotonic() < deadline:
                        break
                    raise
                payload = strip_code(payload)
                if not payload:
                    break
                answer += payload
    except socket.timeout:
        raise ProbeError("no answer within the deadline") from None
    except OSError as e:
        raise ProbeError(e.strerror or str(e)) from None
    return answer.decode("utf-8", "replace")


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
        except ProbeError as e:
            problems[target.label] = "%s did not answer param get: %s" % (target.describe(), e)

    threads = [threading.Thread(target=ask, args=(t,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()) + 1.0)
    late = [t for t in targets if t.label not in found and t.label not in problems]
    return dict(found), [problems[t.label] for t in targets if t.label in problems] + [
        "%s did not answer param get within %s s" % (t.describe(), seconds(timeout)) for t in late]
