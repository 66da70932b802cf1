"""Commands and replies as the method tests script them, and what the client sent.

A connection script for one client is `greet()` followed by `exchange(...)`
steps: the server checks each command the client sends (a mismatch closes the
connection and is reported in the record's `error`) and answers with reply
payloads. `run(server, fn)` calls `fn` with a fresh client, drops the client so
that its connection ends, and returns fn's result or the `Raised` it ended in.
"""

import dataclasses

from . import steps
from .resources import collect_garbage
from .script_server import handshake_record, packet

CODE = b"\x05\x00"   # a command code that the client strips from a reply
END = CODE           # a reply that holds only a command code: the empty reply
RECORD = handshake_record()


def answer(key=b""):
    """The client's handshake reply to RECORD: banner echoed, then the key field."""
    if isinstance(key, str):
        key = key.encode()
    return RECORD[:12] + key[:32].ljust(32, b"\0")


HANDSHAKE_REPLY = packet(answer())


def coded(text):
    """A reply payload: the command code, then the text."""
    return CODE + (text.encode() if isinstance(text, str) else bytes(text))


def greet(key=b""):
    """The server's side of the handshake: send the record, check the client's reply."""
    return [steps.send_handshake(), steps.read_packet(expect=answer(key))]


def exchange(command, *replies):
    """Expect `command` as the client's next packet, then send each reply payload as a packet."""
    return [steps.read_packet(expect=command)] + [steps.send_packet(r) for r in replies]


def sent(record, key=b""):
    """The payloads the client sent on a connection after its handshake reply, in order."""
    assert record.error is None, record.error
    hello = packet(answer(key))
    assert record.received[:len(hello)] == hello
    rest, out = record.received[len(hello):], []
    while rest:
        size = int.from_bytes(rest[:4], "big")
        assert len(rest) >= 4 + size, "a packet cut short: %r" % rest
        out.append(rest[4:4 + size])
        rest = rest[4 + size:]
    return out


@dataclasses.dataclass(frozen=True)
class Raised:
    """A call that raised: the exception's exact type and its message."""

    kind: type
    message: str


def outcome(fn, *args, **kwargs):
    """fn's result, or the Raised it ended in (assertion failures propagate)."""
    try:
        return fn(*args, **kwargs)
    except AssertionError:
        raise
    except Exception as e:  # noqa: BLE001 - every failure is compared by type and text
        if isinstance(e, (RuntimeError, TypeError)):
            assert e.args == (str(e),), e.args  # the module raises with the message alone
        return Raised(type(e), str(e))


def run(server, fn):
    """fn(client) on a new client of `server`, the client dropped afterwards; its outcome."""
    import kelpie

    client = kelpie.HdcClient(server.addr)
    try:
        return outcome(fn, client)
    finally:
        del client
        collect_garbage()


def io_error(text):
    return Raised(RuntimeError, "I/O error: " + text)


EARLY_EOF = io_error("early eof")
NOT_CONNECTED = Raised(RuntimeError, "Not connected to HDC server")
# How a client sees a connection that the server has closed, the next time it
# writes and reads on it: the order of FIN, RST and the write decides which.
CLOSED_CONNECTION = {
    EARLY_EOF, io_error("Connection reset by peer (os error 104)"), io_error("Broken pipe (os error 32)"),
}


def numpy_like(value, name="bool_", module="numpy"):
    """An object of a class called `name` in `module` whose __bool__ returns `value` (or raises it)."""
    def truth(self):
        if isinstance(value, BaseException):
            raise value
        return value
    return type(name, (), {"__module__": module, "__bool__": truth})()
