"""The command channel through list_targets, connect_device and wait_for_device:
the bytes sent, how replies are decoded, and the state after a failed reconnection."""

import pytest

from support import packet, steps
from support.exchange import (
    END, HANDSHAKE_REPLY, NOT_CONNECTED, Raised, answer, coded, exchange, greet, io_error, outcome, run, sent,
)

UTF8 = "UTF-8 error: "


def test_list_targets_on_the_wire(hdc_server):
    server = hdc_server(greet() + exchange("list targets", "FMR0223C13000649\n"))
    assert run(server, lambda c: c.list_targets()) == ["FMR0223C13000649"]
    rec = server.connection(0)
    assert rec.received == HANDSHAKE_REPLY + bytes.fromhex("0000000C") + b"list targets"
    assert rec.eof and not rec.reset


@pytest.mark.parametrize("payload, targets", [
    (b"a\r\n\r\n  b  \n", ["a", "b"]),
    (b"one\ntwo", ["one", "two"]),
    (END, []),
    (b" \t\n\x0b\x0c\r\n\n", []),
    (coded("dev\n"), ["dev"]),
    # Unicode white space is trimmed; other invisible characters are content.
    ("\u3000dev\u00a0\u2029\n\u0085\n\u200bx\u180e".encode(), ["dev", "\u200bx\u180e"]),
    ("a\u2028b\n".encode(), ["a\u2028b"]),
    # Recognised codes, least significant byte first, are stripped; others are text.
    (b"\x03\x00dev", ["\x03\x00dev"]),
    (b"\x0c\x00dev", ["\x00dev"]),            # 12: form feed (trimmed) and NUL (kept)
    (b"\x0d\x00dev", ["dev"]),                # 13
    (b"\x00\x05dev", ["\x00\x05dev"]),        # 1280, the big-endian reading of 05 00
    (b"\xd0\x07dev", ["dev"]),                # 2000; not UTF-8 if kept
    (b"\xe9\x03dev\n", ["dev"]),              # 1001
    (b"\xbc\x0bdev", ["dev"]),                # 3004
    (b"\x05", ["\x05"]),                      # one byte is never a code
], ids=repr)
def test_list_targets_reply_decoding(hdc_server, payload, targets):
    server = hdc_server(greet() + exchange("list targets", payload))
    assert run(server, lambda c: c.list_targets()) == targets


# Repeated calls share the str objects of unchanged names, never the list.
def test_list_targets_repeated_and_changed(hdc_server):
    replies = ["a\nb\n", "a\nb\n", "a\nc\n", "a\nc\n", END, "a\n"]
    server = hdc_server(greet() + [s for r in replies for s in exchange("list targets", r)])

    def calls(c):
        first = c.list_targets()
        first.append("mine")
        return [first] + [c.list_targets() for _ in replies[1:]]

    assert run(server, calls) == [["a", "b", "mine"], ["a", "b"], ["a", "c"], ["a", "c"], [], ["a"]]


@pytest.mark.parametrize("payload, message", [
    (b"ok\xff", "invalid utf-8 sequence of 1 bytes from index 2"),
    (coded(b"ok\xff"), "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"ok\xe4\xb8", "incomplete utf-8 byte sequence from index 2"),
    (b"\xe4\xb8A", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"a\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 1"),
    (b"\xb9\x0b", "invalid utf-8 sequence of 1 bytes from index 0"),  # 3001 is no command code
    (b"\xe8\x03ab", "invalid utf-8 sequence of 1 bytes from index 0"),  # nor is 1000
], ids=repr)
def test_reply_that_is_not_utf8_is_consumed(hdc_server, payload, message):
    server = hdc_server(greet() + exchange("list targets", payload) + exchange("list targets", "next\n"))
    assert run(server, lambda c: (outcome(c.list_targets), c.list_targets())) == (
        Raised(RuntimeError, UTF8 + message), ["next"])


@pytest.mark.parametrize("data, message", [
    (bytes(4), "Protocol error: Received zero-length packet"),
    (bytes.fromhex("0007FC01"), "Protocol error: Packet size 523265 exceeds maximum 523264"),
])
def test_bad_packet_lengths(hdc_server, data, message):
    server = hdc_server(greet() + [steps.read_packet(expect="list targets"), steps.send(data)])
    assert run(server, lambda c: c.list_targets()) == Raised(RuntimeError, message)


def test_a_reply_left_unread_is_the_next_calls_reply(hdc_server):
    server = hdc_server(greet() + exchange("list targets", "first\n", "second is here\n") + exchange("wait"))
    assert run(server, lambda c: (c.list_targets(), c.wait_for_device())) == (["first"], "here")
    assert sent(server.connection(0)) == [b"list targets", b"wait"]


# --- wait_for_device -------------------------------------------------------------------------------------


@pytest.mark.parametrize("reply, device", [
    ("device is  ABC123 \n", "ABC123"),
    ("a is b is c", "b"),
    ("  XYZ\n", "XYZ"),
    ("ready is ", ""),
    ("this is it", ""),          # "is " inside "this" is the first separator
    ("is X", "X"),
    ("crisis", "crisis"),
    ("a is\tb", "a is\tb"),      # the separator ends with a space, not any white space
    ("dev is \u3000D1\u2003\n", "D1"),
    (coded("device is D2"), "D2"),
    (END, ""),
], ids=repr)
def test_wait_for_device(hdc_server, reply, device):
    server = hdc_server(greet() + exchange("wait", reply))
    assert run(server, lambda c: c.wait_for_device()) == device
    assert server.received(0) == HANDSHAKE_REPLY + packet("wait")


def test_wait_for_device_on_a_reply_that_is_not_utf8(hdc_server):
    server = hdc_server(greet() + exchange("wait", b"is \xff"))
    assert run(server, lambda c: c.wait_for_device()) == Raised(
        RuntimeError, UTF8 + "invalid utf-8 sequence of 1 bytes from index 3")


# --- connect_device ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("device_id", ["FMR0223C13000649", "", "A" * 40, "a" + "\u00e9" * 20, "x" * 32, "a\0b"],
                         ids=["16", "empty", "40", "cut-in-a-character", "32", "nul"])
def test_connect_device_puts_the_key_in_a_new_handshake(hdc_server, device_id):
    server = hdc_server(greet(), greet(device_id.encode()) + exchange("list targets", "bound\n"))
    assert run(server, lambda c: (c.connect_device(device_id), c.list_targets())) == (None, ["bound"])
    old, new = server.results()
    assert old.received == HANDSHAKE_REPLY and old.eof  # the old connection is closed, never reused
    assert new.received == packet(answer(device_id.encode()[:32])) + packet("list targets")


def test_connect_device_keyword_and_repeat(hdc_server):
    server = hdc_server(greet(), greet("one"), greet("two") + exchange("wait", "is two"))
    assert run(server, lambda c: (c.connect_device(device_id="one"), c.connect_device("two"),
                                  c.wait_for_device())) == (None, None, "two")
    assert [r.eof for r in server.results()] == [True, True, True]


ALL_COMMANDS = [
    ("list_targets", ()), ("wait_for_device", ()), ("shell", ("ls",)), ("hilog", (None,)),
    ("fport", ("tcp:1", "tcp:2")), ("rport", ("tcp:1", "tcp:2")), ("file_send", ("a", "b")),
    ("file_recv", ("a", "b")), ("install", (["a.hap"],)), ("uninstall", ("p",)),
]


def every_command(client):
    return [outcome(getattr(client, name), *args) for name, args in ALL_COMMANDS]


def test_refused_reconnection_leaves_the_client_not_connected(hdc_server):
    # One connection in the script: the listener closes once it is accepted, well
    # before the record is sent.
    server = hdc_server([steps.sleep(0.2)] + greet())
    results = run(server, lambda c: (outcome(c.connect_device, "D"), every_command(c),
                                     outcome(c.fport_remove, "tcp:1 tcp:2")))
    refused = io_error("Connection refused (os error 111)")
    assert results == (refused, [NOT_CONNECTED] * len(ALL_COMMANDS), refused)
    assert server.received(0) == HANDSHAKE_REPLY


@pytest.mark.parametrize("second, message", [
    ([steps.close()], "I/O error: early eof"),
    ([steps.send_handshake(banner=bytes(12))],
     "Invalid banner: expected 'OHOS HDC', got [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]"),
    ([steps.send_handshake(43)], "Protocol error: Handshake data too short: expected at least 44, got 43"),
])
def test_failed_handshake_then_fport_remove_and_reconnection(hdc_server, second, message):
    server = hdc_server(
        greet(), second,
        greet() + exchange("fport rm tcp:1 tcp:2", "removed"),
        greet("D") + exchange("list targets", "D\n"))
    results = run(server, lambda c: (outcome(c.connect_device, "D"), every_command(c), c.fport_remove("tcp:1 tcp:2"),
                                     c.connect_device("D"), c.list_targets()))
    assert results == (Raised(RuntimeError, message), [NOT_CONNECTED] * len(ALL_COMMANDS), "removed", None, ["D"])
    records = server.results()
    assert [r.received for r in records[:2]] == [HANDSHAKE_REPLY, b""]
    assert sent(records[2]) == [b"fport rm tcp:1 tcp:2"]
    assert sent(records[3], b"D") == [b"list targets"]
    assert all(r.eof for r in records[2:]) and records[0].eof  # the temporary connection too

