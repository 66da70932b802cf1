"""HdcClient(addr) end to end: connection, handshake, failures and release, against a scripted server."""

import contextlib
import socket
import time

import pytest

import kelpie
from support import (
    MAX_PACKET_SIZE, backlog_full_listener, collect_garbage, handshake_record, handshake_reply,
    open_descriptors, packet, steps, thread_count,
)

ZERO_BANNER_MESSAGE = "Invalid banner: expected 'OHOS HDC', got [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]"
# handshake_record fills banner bytes 8-11 with 9, 10, 11, 12.
LOWER_C_BANNER_MESSAGE = "Invalid banner: expected 'OHOS HDC', got [79, 72, 79, 83, 32, 72, 68, 99, 9, 10, 11, 12]"


def connect_and_drop(addr):
    client = kelpie.HdcClient(addr)
    assert type(client) is kelpie.HdcClient
    del client
    collect_garbage()


def connect_error(addr):
    """The RuntimeError of a failed constructor; checks it is exactly that, with one argument."""
    with pytest.raises(RuntimeError) as info:
        kelpie.HdcClient(addr)
    assert type(info.value) is RuntimeError
    assert len(info.value.args) == 1
    return str(info.value)


def refused_addr():
    """An address where nothing listens, with its port held bound so that nobody takes it meanwhile."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    return s, "127.0.0.1:%d" % s.getsockname()[1]


def assert_closed_quietly(server, i, expected):
    """Connection i received exactly `expected` and was then closed by the client."""
    rec = server.connection(i)
    assert rec.received == expected
    assert rec.eof and not rec.reset
    assert rec.error is None


# --- Handshake ---------------------------------------------------------------------------------------


def test_reply_to_the_short_record_exact_bytes(hdc_server):
    server = hdc_server([steps.send_handshake(44, channel=42)])
    record = handshake_record(44, channel=42)
    assert record[:8] == b"OHOS HDC" and record[12:16] == bytes.fromhex("0000002A")
    connect_and_drop(server.addr)
    assert_closed_quietly(server, 0, bytes.fromhex("0000002C") + record[:12] + bytes(32))


@pytest.mark.parametrize("length, reply_length", [
    (44, 44), (60, 44), (107, 44), (108, 108), (200, 108), (MAX_PACKET_SIZE, 108),
])
def test_reply_length_follows_the_record_length(hdc_server, length, reply_length):
    server = hdc_server([steps.send_handshake(length, channel=0xFFFFFFFF)])
    connect_and_drop(server.addr)
    record = handshake_record(length, channel=0xFFFFFFFF)
    reply = handshake_reply(record)
    assert len(reply) == reply_length
    if reply_length == 108:
        assert reply[44:] == record[44:108]
    assert_closed_quietly(server, 0, packet(reply))


@pytest.mark.parametrize("banner", [b"OHOS HDC", b"OHOS HDC\xff\x00\x80\x7f"], ids=["filler", "any-tail"])
@pytest.mark.parametrize("chunk, pause", [(1, 0.002), (5, 0.01), (None, 0)], ids=["1-byte", "5-byte", "whole"])
def test_record_arriving_in_pieces(hdc_server, banner, chunk, pause):
    server = hdc_server([steps.send_handshake(108, banner=banner, chunk=chunk, pause=pause)])
    connect_and_drop(server.addr)
    assert_closed_quietly(server, 0, packet(handshake_reply(handshake_record(108, banner=banner))))


def test_bytes_after_the_record_are_left_unread(hdc_server):
    # A reply the server sends early stays on the connection; the handshake takes only its own packet.
    server = hdc_server([steps.send(packet(handshake_record()) + packet(b"early"))])
    client = kelpie.HdcClient(server.addr)
    del client
    collect_garbage()
    rec = server.connection(0)
    assert rec.received == packet(handshake_reply(handshake_record()))
    assert rec.eof or rec.reset  # unread data makes the kernel reset instead of close


# --- Handshake failures ----------------------------------------------------------------------------------


@pytest.mark.parametrize("conn, message", [
    pytest.param([steps.send_handshake(43)],
                 "Protocol error: Handshake data too short: expected at least 44, got 43", id="43-bytes"),
    pytest.param([steps.send_handshake(1)],
                 "Protocol error: Handshake data too short: expected at least 44, got 1", id="1-byte"),
    pytest.param([steps.send_handshake(banner=bytes(12))], ZERO_BANNER_MESSAGE, id="zero-banner"),
    pytest.param([steps.send_handshake(108, banner=b"OHOS HDc")], LOWER_C_BANNER_MESSAGE, id="OHOS-HDc"),
    pytest.param([steps.send_handshake(banner=b" OHOS HDC")],
                 "Invalid banner: expected 'OHOS HDC', got [32, 79, 72, 79, 83, 32, 72, 68, 67, 10, 11, 12]",
                 id="shifted-banner"),
    pytest.param([steps.send(bytes(4))], "Protocol error: Received zero-length packet", id="zero-length"),
    pytest.param([steps.send(bytes.fromhex("0007FC01"))],
                 "Protocol error: Packet size 523265 exceeds maximum 523264", id="523265"),
    pytest.param([steps.send(bytes.fromhex("FFFFFFFF"))],
                 "Protocol error: Packet size 4294967295 exceeds maximum 523264", id="4294967295"),
    pytest.param([steps.close()], "I/O error: early eof", id="close-at-once"),
    pytest.param(steps.connection([steps.send_handshake()], close_after=2), "I/O error: early eof",
                 id="close-in-header"),
    pytest.param(steps.connection([steps.send_handshake()], close_after=4), "I/O error: early eof",
                 id="close-after-header"),
    pytest.param(steps.connection([steps.send_handshake()], close_after=20), "I/O error: early eof",
                 id="close-mid-payload"),
    pytest.param(steps.connection([steps.send_handshake()], close_after=47), "I/O error: early eof",
                 id="close-one-byte-short"),
    pytest.param([steps.close(reset=True)], "I/O error: Connection reset by peer (os error 104)", id="reset"),
])
def test_handshake_failure_sends_nothing(hdc_server, conn, message):
    server = hdc_server(conn)
    assert connect_error(server.addr) == message
    rec = server.connection(0)
    assert rec.received == b""
    assert rec.finished  # the failed client's socket was closed (or the server closed first)
    assert rec.error is None


def test_oversized_announcement_is_not_read_further(hdc_server):
    # The client gives up on the header: the payload behind it stays unread and nothing is sent back.
    server = hdc_server([steps.send(bytes.fromhex("0007FC01") + b"x" * 1000)])
    assert connect_error(server.addr) == "Protocol error: Packet size 523265 exceeds maximum 523264"
    rec = server.connection(0)
    assert rec.received == b"" and rec.finished


# --- Addresses ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize("form", ["127.0.0.1:{port}", "localhost:{port}"])
def test_address_forms_that_connect(hdc_server, form):
    server = hdc_server([steps.send_handshake()])
    connect_and_drop(form.format(port=server.port))
    assert_closed_quietly(server, 0, packet(handshake_reply(handshake_record())))


def test_ipv6_loopback(hdc_server):
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
    except OSError as e:
        pytest.skip("no IPv6 loopback here: %s" % e)
    server = hdc_server([steps.send_handshake()], host="::1")
    connect_and_drop(server.addr)
    assert_closed_quietly(server, 0, packet(handshake_reply(handshake_record())))


@pytest.mark.parametrize("addr, message", [
    ("localhost", "I/O error: invalid socket address"),
    ("127.0.0.1", "I/O error: invalid socket address"),
    ("", "I/O error: invalid socket address"),
    ("localhost:99999", "I/O error: invalid port value"),
    ("localhost:65536", "I/O error: invalid port value"),
    ("localhost:abc", "I/O error: invalid port value"),
    ("localhost:", "I/O error: invalid port value"),
    ("localhost:-1", "I/O error: invalid port value"),
])
def test_malformed_addresses(addr, message):
    assert connect_error(addr) == message


@pytest.mark.parametrize("form", ["localhost\0.example:{port}", "127.0.0.1\0junk:{port}"], ids=["name", "numeric"])
def test_address_with_nul_is_refused(hdc_server, form):
    server = hdc_server([steps.send_handshake()])
    assert connect_error(form.format(port=server.port)) == "I/O error: invalid socket address"
    assert server.stop() == []


def test_unresolvable_host():
    message = connect_error("nonexistent.invalid:80")
    prefix = "I/O error: failed to lookup address information: "
    assert message.startswith(prefix) and len(message) > len(prefix)


def test_refused_connection():
    holder, addr = refused_addr()
    with holder:
        assert connect_error(addr) == "I/O error: Connection refused (os error 111)"


# --- Time limits (real time) -----------------------------------------------------------------------------

TIME_LIMIT = 10.0


@pytest.mark.slow
def test_record_not_complete_ten_seconds_after_connecting(hdc_server):
    # One byte every 0.4 s would take 19 s: the limit runs from the connection's
    # opening, not from the last byte received, and covers the wait for the first one.
    server = hdc_server([steps.sleep(0.4), steps.send_handshake(chunk=1, pause=0.4)])
    held = open_descriptors(), thread_count()
    start = time.monotonic()
    assert connect_error(server.addr) == "Operation timed out"
    elapsed = time.monotonic() - start
    assert TIME_LIMIT - 0.2 <= elapsed < TIME_LIMIT + 3
    assert (open_descriptors(), thread_count()) == held
    rec = server.connection(0)
    assert rec.received == b"" and (rec.eof or rec.reset)


@pytest.mark.slow
def test_connection_attempt_that_is_never_answered():
    with backlog_full_listener() as addr:
        held = open_descriptors(), thread_count()
        start = time.monotonic()
        assert connect_error(addr) == "Operation timed out"
        elapsed = time.monotonic() - start
        assert (open_descriptors(), thread_count()) == held
    assert TIME_LIMIT - 0.2 <= elapsed < TIME_LIMIT + 3


# --- Release -----------------------------------------------------------------------------------------------


def test_clients_are_independent_and_close_silently(hdc_server):
    reply = packet(handshake_reply(handshake_record()))
    server = hdc_server([steps.send_handshake()], [steps.send_handshake()])
    first = kelpie.HdcClient(server.addr)
    second = kelpie.HdcClient(server.addr)
    del first
    collect_garbage()
    time.sleep(0.2)
    del second
    collect_garbage()
    a, b = server.results()
    assert (a.received, b.received) == (reply, reply)
    assert a.eof and b.eof
    assert a.closed_at + 0.1 < b.closed_at


LEAK_ROUNDS = 10_000


def test_many_clients_leave_nothing_behind(hdc_server):
    server = hdc_server(repeat=[steps.send_handshake()], count=LEAK_ROUNDS, lifetime=240)
    fds, threads = open_descriptors(), thread_count()
    for i in range(LEAK_ROUNDS):
        kelpie.HdcClient(server.addr)
        if i % 100 == 99:
            collect_garbage()
    collect_garbage()
    assert (open_descriptors(), thread_count()) == (fds, threads)
    records = server.results(timeout=60)
    assert server.reason == "done"
    reply = packet(handshake_reply(handshake_record()))
    assert [i for i, r in enumerate(records) if r.received != reply or not r.eof] == []


FAILED_ROUNDS = 200


@pytest.mark.parametrize("kind", ["refused", "bad-banner", "unresolvable", "malformed"])
def test_failed_constructors_leave_nothing_behind(hdc_server, kind):
    rounds = FAILED_ROUNDS
    with contextlib.ExitStack() as stack:
        if kind == "refused":
            holder, addr = refused_addr()
            stack.enter_context(holder)
        elif kind == "bad-banner":
            addr = hdc_server(repeat=[steps.send_handshake(banner=b"XXXX")], count=rounds).addr
        elif kind == "unresolvable":
            addr, rounds = "nonexistent.invalid:80", 10  # each round asks the system's name server
        else:
            addr = "localhost:abc"
        fds, threads = open_descriptors(), thread_count()
        for i in range(rounds):
            with pytest.raises(RuntimeError):
                kelpie.HdcClient(addr)
            if i % 100 == 99:
                collect_garbage()
        collect_garbage()
        assert (open_descriptors(), thread_count()) == (fds, threads)
