"""Every operation against a server that sends the operation's whole reply
sequence but closes the connection after k bytes of it, for every k.

Closed before the sequence is complete, an operation fails with "early eof"
unless what it had already received lets it end (shell's look for a trailing
packet gives up quietly); the client's next call then sees a closed connection.
With the whole sequence, the operation returns its result and the next call
finds the connection in step.
"""

import dataclasses

import pytest

import kelpie
from support import collect_garbage, open_descriptors, packet, steps, thread_count
from support.exchange import (
    CLOSED_CONNECTION, EARLY_EOF, END, NOT_CONNECTED, Raised, coded, exchange, greet, outcome, sent,
)

HANDSHAKE_PACKET = 48  # what the server sends before the replies: the 44-byte record, framed
CLOSED = "closed connection"


@dataclasses.dataclass
class Op:
    call: object        # fn(client)
    command: str        # what the client must send
    replies: list       # reply payloads, in order
    complete: object    # the outcome once every reply has arrived
    cut: list = None    # the outcome when the close falls before reply i is whole (default: early eof)

    def outcome_at(self, k):
        bounds = [0]
        for r in self.replies:
            bounds.append(bounds[-1] + len(packet(r)))
        if k == bounds[-1]:
            return self.complete
        index = max(i for i, b in enumerate(bounds) if b <= k)
        return (self.cut or [EARLY_EOF] * len(self.replies))[index]

    def size(self):
        return sum(len(packet(r)) for r in self.replies)

    def wire(self):
        return b"".join(packet(r) for r in self.replies)


OPS = {
    "list_targets": Op(lambda c: c.list_targets(), "list targets", [coded("dev1\r\ndev2\n")], ["dev1", "dev2"]),
    "wait_for_device": Op(lambda c: c.wait_for_device(), "wait", [b"device is D1\n"], "D1"),
    "shell": Op(lambda c: c.shell("ls"), "shell ls", [coded("hi\n"), b"\x00\x00x", coded("ab"), END], "hi\nxab",
                # A line end starts the look for a trailing packet, which ends quietly on a close.
                cut=[EARLY_EOF, "hi\n", EARLY_EOF, EARLY_EOF]),
    "hilog": Op(lambda c: c.hilog("-t T"), "hilog -t T", [coded("l1\n"), b"\xe4\xb8", coded(b"\xad\n"), END],
                "l1\n\u4e2d\n"),
    "fport": Op(lambda c: c.fport("tcp:+80", "tcp:81"), "fport tcp:80 tcp:81", [coded("OK")], "OK"),
    "rport": Op(lambda c: c.rport("tcp:1", "localabstract:a"), "rport tcp:1 localabstract:a", ["[Fail]exists"],
                "[Fail]exists"),
    "file_send": Op(lambda c: c.file_send("l", "r", compress=True, hold_timestamp=True), "file send -a -z l r",
                    [coded("50%\n"), coded("FileTransfer finish")], "50%\nFileTransfer finish"),
    "file_recv": Op(lambda c: c.file_recv("r", "l", sync_mode=True), "file recv -sync r l", [coded("1%"), END], "1%"),
    "install": Op(lambda c: c.install(["a.hap", "b.hap"], replace=True), "install -r a.hap b.hap",
                  [coded("installing\n"), coded("Success")], "installing\nSuccess"),
    "uninstall": Op(lambda c: c.uninstall("p", True, True), "uninstall -k -s p", [coded("Fail: none")], "Fail: none"),
    "fport_remove": Op(lambda c: c.fport_remove("tcp:1 tcp:2"), "fport rm tcp:1 tcp:2", [coded("[Fail]gone")],
                       Raised(RuntimeError, "Protocol error: [Fail]gone")),
}


def reply_connection(op, k):
    """A connection that takes the command, then sends the replies and closes after k of their bytes."""
    taken = greet() + [steps.read_packet(expect=op.command)]
    if k == op.size():
        return taken + [steps.send(op.wire())] + exchange("list targets", "next\n")
    if k == 0:
        return taken + [steps.close()]  # close_after=0 would close before taking anything
    return steps.connection(taken + [steps.send(op.wire())], close_after=HANDSHAKE_PACKET + k)


def scripts(name, op, k):
    if name == "fport_remove":  # the client's own connection stays whole
        return [greet() + exchange("list targets", "next\n"), reply_connection(op, k)]
    return [reply_connection(op, k)]


def play(server, fn, rounds):
    """fn(client) on a new client per round; clients are released a batch at a time.

    Nothing may be left behind: every descriptor and thread of every round is gone at the end.
    """
    collect_garbage()   # what earlier tests dropped goes now, not in the middle of the count
    held = open_descriptors(), thread_count()
    outcomes, clients = [], []
    for k in range(rounds):
        client = kelpie.HdcClient(server.addr)
        outcomes.append((k,) + fn(client))
        clients.append(client)
        del client
        if len(clients) == 25:
            clients.clear()
            collect_garbage()
    del clients
    collect_garbage()
    assert (open_descriptors(), thread_count()) == held
    return outcomes


def next_call(client):
    result = outcome(client.list_targets)
    return CLOSED if isinstance(result, Raised) and result in CLOSED_CONNECTION else result


@pytest.mark.parametrize("name", list(OPS))
def test_close_at_every_offset(hdc_server, name):
    op = OPS[name]
    rounds = op.size() + 1
    server = hdc_server(*[s for k in range(rounds) for s in scripts(name, op, k)], lifetime=120)
    outcomes = play(server, lambda c: (outcome(op.call, c), next_call(c)), rounds)
    expected = []
    for k in range(rounds):
        whole = k == op.size() or name == "fport_remove"
        expected.append((k, op.outcome_at(k), ["next"] if whole else CLOSED))
    assert outcomes == expected
    records = server.results(timeout=60)
    replying = records[1::2] if name == "fport_remove" else records
    for k, rec in enumerate(replying):
        assert sent(rec)[:1] == [op.command.encode()], k
        assert sent(rec)[1:] in ([], [b"list targets"]), k


def test_connect_device_closed_at_every_offset_of_the_handshake(hdc_server):
    record_size = HANDSHAKE_PACKET
    conns = []
    for k in range(record_size + 1):
        if k == record_size:
            new = greet("D") + exchange("list targets", "next\n")
        else:
            new = steps.connection([steps.send_handshake()], close_after=k)
        conns += [greet(), new]
    server = hdc_server(*conns, lifetime=120)
    outcomes = play(server, lambda c: (outcome(c.connect_device, "D"), outcome(c.list_targets)), record_size + 1)
    assert outcomes == [(k, EARLY_EOF, NOT_CONNECTED) for k in range(record_size)] + [(record_size, None, ["next"])]
    records = server.results(timeout=60)
    assert [r.received for r in records[1:-1:2]] == [b""] * record_size  # nothing sent on a failed handshake
    assert sent(records[-1], b"D") == [b"list targets"]
