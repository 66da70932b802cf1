"""The scripted server itself, driven by plain sockets: the other tests trust what it records."""

import socket
import time

import pytest

from support import handshake_record, packet, steps


def dial(server):
    return socket.create_connection((server.host, server.port), timeout=5)


def read_all(sock):
    out = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return out
        out += chunk


def test_plays_steps_and_records_every_byte(hdc_server):
    server = hdc_server([
        steps.send_handshake(108, channel=7),
        steps.read_packet(expect=b"hello"),
        steps.send_packet("reply"),
        steps.send(b"\x00\x00\x00\x05ab", chunk=1, pause=0.001),
        steps.shutdown(),
    ])
    with dial(server) as s:
        s.sendall(packet(b"hello"))
        got = read_all(s)  # the half-close ends the server's sending
        s.sendall(b"after")
    rec = server.connection(0)
    assert got == packet(handshake_record(108, channel=7)) + packet(b"reply") + b"\x00\x00\x00\x05ab"
    assert handshake_record(108, channel=7)[12:16] == b"\x00\x00\x00\x07"
    assert (rec.received, rec.eof, rec.error, rec.steps_done, rec.finished) == (
        packet(b"hello") + b"after", True, None, 5, True)
    assert server.reason == "done"


@pytest.mark.parametrize("close_after, sent", [(0, b""), (2, b"\x00\x00"), (6, b"\x00\x00\x00\x2cOH")])
def test_close_after_cuts_the_stream(hdc_server, close_after, sent):
    server = hdc_server(steps.connection([steps.send_handshake()], close_after=close_after))
    with dial(server) as s:
        assert read_all(s) == sent


def test_expect_mismatch_is_reported_and_ends_the_connection(hdc_server):
    server = hdc_server([steps.read_packet(expect="list targets"), steps.send_packet("never")])
    with dial(server) as s:
        s.sendall(packet("shell ls"))
        assert read_all(s) == b""
    rec = server.connection(0)
    assert rec.error == "step 0: expected packet %s, got %s" % (b"list targets".hex(), b"shell ls".hex())
    assert rec.steps_done == 0


def test_repeat_count_and_reset(hdc_server):
    server = hdc_server([steps.close(reset=True)], repeat=[steps.send("x")], count=3)
    conns = [dial(server) for _ in range(3)]
    with pytest.raises(ConnectionResetError):
        conns[0].recv(1)
    assert [c.recv(1) for c in conns[1:]] == [b"x", b"x"]
    for c in conns:
        c.close()
    assert len(server.results()) == 3 and server.reason == "done"


def test_stop_collects_stalled_connections(hdc_server):
    server = hdc_server([steps.stall()])
    with dial(server) as s:
        s.sendall(b"waiting")
        time.sleep(0.1)
        rec = server.stop()[0]
    assert (rec.received, rec.finished, server.reason) == (b"waiting", False, "stopped")


def test_lifetime_bounds_the_server(hdc_server):
    start = time.monotonic()
    server = hdc_server([steps.stall()], lifetime=0.5)
    assert server.results() == [] and server.reason == "lifetime"
    assert time.monotonic() - start < 5
