"""A device's files brought back within a deadline: `file recv` spoken over a plain socket
with a timeout, as the probes speak the host protocol (probe.py).

A kelpie call holds the interpreter lock until it returns, so a worker could not bound one
of its own; evidence from a failing test's device is gathered this way instead, each call
within what is left of the test's deadline. As with kelpie's file_recv, the server does
the transfer: the local path is the server's, so it must be absolute, and a server on
another host writes there.
"""

import contextlib
import socket
import time

from .probe import ProbeError, connect, read_packet, send_packet, strip_code

ENDINGS = ("FileTransfer finish", "Transfer finish", "[Fail]", "fail")


@contextlib.contextmanager
def _session(server, serial, deadline):
    """A socket bound to the device `serial`; a timeout or socket error becomes ProbeError."""
    try:
        with connect(server, deadline, serial) as sock:
            yield sock
    except socket.timeout:
        raise ProbeError("no answer within the deadline") from None
    except ProbeError:
        raise
    except OSError as e:
        raise ProbeError(e.strerror or str(e)) from None


def recv_file(server, serial, remote, local, deadline):
    """Has the server copy the device's file or folder `remote` to `local`; the server's last
    text ("FileTransfer finish, ..." or "[Fail]..."). ProbeError when it did not answer by
    `deadline` (time.monotonic())."""
    with _session(server, serial, deadline) as sock:
        send_packet(sock, ("file recv %s %s" % (remote, local)).encode("utf-8"), deadline)
        while True:
            text = strip_code(read_packet(sock, deadline)).decode("utf-8", "replace")
            if not text or any(word in text for word in ENDINGS):
                return text


def shell_to_end(server, serial, command, deadline):
    """The device's whole answer to a shell command, by `deadline`: the command is followed by
    an echo of a line of the plugin's own, and the answer read until that line, so that a tool
    that pauses between its lines (snapshot_display, writing its file) is not cut short."""
    end = "kelpie-farm-end-%d" % int(time.monotonic() * 1000)
    answer = ""
    with _session(server, serial, deadline) as sock:
        send_packet(sock, ("shell %s; echo %s" % (command, end)).encode("utf-8"), deadline)
        while end not in answer:
            text = strip_code(read_packet(sock, deadline)).decode("utf-8", "replace")
            if not text:
                break
            answer += text
    return answer.split(end, 1)[0]


def failed(text):
    """Whether a transfer's last text says it failed."""
    return not text or "[Fail]" in text or ("fail" in text and "FileTransfer finish" not in text)
