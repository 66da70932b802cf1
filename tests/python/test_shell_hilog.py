"""shell and hilog: command texts, how their output is collected and ended, and
what a time limit leaves on the connection."""

import time

import pytest

from support import packet, steps
from support.exchange import END, Raised, coded, exchange, greet, outcome, run, sent

QUICK = 1.5  # seconds: far below the 5-second silence limit


def timed(server, fn):
    start = time.monotonic()
    result = run(server, fn)
    return result, time.monotonic() - start


@pytest.mark.parametrize("command", ["ls -l /data", "", "  two  spaces  ", "echo 'ünï' \"x\" ; exit 1", "a\0b"])
def test_shell_command_text(hdc_server, command):
    server = hdc_server(greet() + exchange("shell " + command, "out", END))
    assert run(server, lambda c: c.shell(command)) == "out"
    assert sent(server.connection(0)) == [("shell " + command).encode()]


def test_shell_returns_soon_after_a_line_end(hdc_server):
    # Then silence: only the 100 ms look for a trailing packet stands between the reply and the result.
    server = hdc_server(greet() + exchange("shell echo hi", "hi\n"))
    result, took = timed(server, lambda c: c.shell(command="echo hi"))
    assert result == "hi\n"
    assert 0.09 <= took < QUICK


@pytest.mark.parametrize("replies, output", [
    pytest.param([END], "", id="empty-reply-first"),
    pytest.param(["abc", coded("def"), END], "abcdef", id="replies-joined"),
    pytest.param(["hi\n", b"\x00\x00x", END], "hi\nx", id="trailing-packet"),
    pytest.param(["hi\n", b"y", END], "hi\ny", id="one-byte-trailing-packet"),
    pytest.param(["hi\n", b"\x61\x62cd", END], "hi\ncd", id="trailing-drops-two-bytes-whatever-they-are"),
    pytest.param(["hi\n", b"\x00\x00a\xffb\xe4\xb8", END], "hi\na\ufffdb\ufffd", id="trailing-lenient"),
    pytest.param(["hi\n", b"\xfe", END], "hi\n\ufffd", id="one-byte-trailing-lenient"),
    pytest.param(["a\0", b"\x00\x00b\n", b"\x00\x00c", END], "a\0b\nc", id="nul-ends-a-line-too"),
    pytest.param([coded("\n"), coded("more"), END], "\nmore", id="reply-after-line-end-is-trailing"),
    pytest.param([b"a\xe4\xb8", b"\xadb", END], "a\u4e2db", id="character-split-across-replies"),
    pytest.param([b"\xe4", b"\xb8", coded(b"\xad\n")], "\u4e2d\n", id="character-in-three-replies"),
])
def test_shell_output(hdc_server, replies, output):
    server = hdc_server(greet() + exchange("shell x", *replies))
    result, took = timed(server, lambda c: c.shell("x"))
    assert (result, took < QUICK) == (output, True)


@pytest.mark.parametrize("replies, message", [
    (["ok", b"\xff", END], "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0"),
    ([b"a\xe4", END], "UTF-8 error: incomplete utf-8 byte sequence from index 0"),
    ([b"a\xe4", b"x", END], "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0"),
], ids=["invalid", "collection-ends-inside-a-character", "character-not-completed"])
def test_shell_output_lost_on_a_bad_reply(hdc_server, replies, message):
    server = hdc_server(greet() + exchange("shell x", *replies))
    assert run(server, lambda c: c.shell("x")) == Raised(RuntimeError, message)


def test_invalid_text_mid_output_is_read_to_its_end(hdc_server):
    # The output is read on to its end and dropped, so the next calls get their own replies.
    server = hdc_server(greet() + exchange("hilog", "line 1\n", b"bad \xff byte\n", "line 3\n", END)
                        + exchange("shell x", "line 1 ", b"bad \xff byte ", "line 3", END)
                        + exchange("hilog", "log\n", END) + exchange("list targets", "next\n"))
    bad = Raised(RuntimeError, "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 4")
    result, took = timed(server, lambda c: (outcome(c.hilog, None), outcome(c.shell, "x"), c.hilog(None),
                                            c.list_targets()))
    assert (result, took < QUICK) == ((bad, bad, "log\n", ["next"]), True)


LIMIT = 523264


def test_command_at_the_packet_limit(hdc_server):
    server = hdc_server(greet() + exchange("shell " + "x" * (LIMIT - 6), END) + exchange("list targets", "next\n"))
    assert run(server, lambda c: (c.shell("x" * (LIMIT - 6)), outcome(c.shell, "x" * (LIMIT - 5)),
                                  c.list_targets())) == (
        "", Raised(RuntimeError, "Buffer error: Data size 523265 exceeds maximum packet size 523264"), ["next"])


def test_shell_zero_length_packet(hdc_server):
    server = hdc_server(greet() + exchange("shell x", "partial") + [steps.send(bytes(4))])
    assert run(server, lambda c: c.shell("x")) == Raised(RuntimeError, "Protocol error: Received zero-length packet")


def test_shell_error_in_the_trailing_look_is_dropped(hdc_server):
    server = hdc_server(greet() + exchange("shell x", "hi\n") + [steps.send(bytes(4))])
    assert run(server, lambda c: c.shell("x")) == "hi\n"


@pytest.mark.parametrize("cut", [2, 4, 7], ids=["in-header", "after-header", "in-payload"])
def test_packet_cut_by_the_trailing_look_is_read_whole_later(hdc_server, cut):
    # The 100 ms look gives up in the middle of a packet; the rest arrives later and
    # the next call reads the whole packet as its reply, not payload bytes as a header.
    late = packet(coded("late one\n"))
    server = hdc_server(greet() + exchange("shell x", "hi\n") + [
        steps.send(late[:cut]), steps.sleep(0.4), steps.send(late[cut:]),
        steps.read_packet(expect="list targets"), steps.send_packet("next\n")])
    assert run(server, lambda c: (c.shell("x"), c.list_targets(), c.list_targets())) == (
        "hi\n", ["late one"], ["next"])


def test_a_new_connection_keeps_nothing_of_the_old_ones_packet(hdc_server):
    late = packet(coded("late one\n"))
    server = hdc_server(greet() + exchange("shell x", "hi\n") + [steps.send(late[:7])],
                        greet("D") + exchange("list targets", "fresh\n"))
    assert run(server, lambda c: (c.shell("x"), c.connect_device("D"), c.list_targets())) == (
        "hi\n", None, ["fresh"])


def test_reply_after_the_trailing_look_is_the_next_calls_reply(hdc_server):
    server = hdc_server(greet() + exchange("shell x", "hi\n") + [steps.sleep(0.4), steps.send_packet("late\n")]
                        + exchange("hilog", END))
    assert run(server, lambda c: (c.shell("x"), c.hilog(None))) == ("hi\n", "late\n")
    assert sent(server.connection(0)) == [b"shell x", b"hilog"]


# --- hilog -----------------------------------------------------------------------------------------------


@pytest.mark.parametrize("args, command", [
    ((None,), "hilog"), ((), "hilog"), (("",), "hilog "), (("-t MyTag",), "hilog -t MyTag"), ((" x ",), "hilog  x "), (("-t\0x",), "hilog -t\0x"),
])
def test_hilog_command_text(hdc_server, args, command):
    server = hdc_server(greet() + exchange(command, "log\n", END))
    call = (lambda c: c.hilog(*args)) if args else (lambda c: c.hilog(args=None))
    assert run(server, call) == "log\n"
    assert sent(server.connection(0)) == [command.encode()]


@pytest.mark.parametrize("replies, output", [
    pytest.param(["line1\n", "line2\n", END], "line1\nline2\n", id="lines"),
    pytest.param([END], "", id="empty"),
    pytest.param([coded("a"), b"\x00\x00b", b"\xd0\x07c", END], "abc", id="codes-stripped"),
    pytest.param([b"\xe6\x97", b"\xa5\xe5", b"\xbf\x97\n", END], "\u65e5\u5fd7\n", id="characters-split"),
    pytest.param([coded("%04d" % i + "y" * 4092) for i in range(100)] + [END],
                 "".join("%04d" % i + "y" * 4092 for i in range(100)), id="many-replies"),
])
def test_hilog_output(hdc_server, replies, output):
    server = hdc_server(greet() + exchange("hilog", *replies))
    result, took = timed(server, lambda c: c.hilog(None))
    assert (result, took < QUICK) == (output, True)


def test_hilog_on_a_silent_server_times_out(hdc_server):
    server = hdc_server(greet() + exchange("hilog") + exchange("list targets", "still here\n"))
    result, took = timed(server, lambda c: (outcome(c.hilog, None), c.list_targets()))
    assert result == (Raised(RuntimeError, "Operation timed out"), ["still here"])
    assert 4.9 <= took < 7
