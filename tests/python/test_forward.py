"""fport, rport and fport_remove: command texts from parsed nodes, node errors
before anything is sent, and the removal's connection of its own."""

import pytest

from support import open_descriptors, steps
from support.exchange import HANDSHAKE_REPLY, Raised, coded, exchange, greet, outcome, run, sent


@pytest.mark.parametrize("first, second, printed", [
    ("tcp:8080", "tcp:9000", "tcp:8080 tcp:9000"),
    ("tcp:+0080", "localabstract:sock", "tcp:80 localabstract:sock"),
    ("tcp:0", "tcp:065535", "tcp:0 tcp:65535"),
    ("localfilesystem:/tmp/s", "localreserved:", "localfilesystem:/tmp/s localreserved:"),
    ("localabstract:my sock", "dev:/dev/ttyS0", "localabstract:my sock dev:/dev/ttyS0"),
    ("jdwp:+01234", "ark:012@+34@dbg", "jdwp:1234 ark:12@34@dbg"),
    ("ark:4294967295@0@", "jdwp:4294967295", "ark:4294967295@0@ jdwp:4294967295"),
    ("dev:\u00fc", "localabstract:a\0b", "dev:\u00fc localabstract:a\0b"),
])
@pytest.mark.parametrize("method", ["fport", "rport"])
def test_command_prints_the_parsed_nodes(hdc_server, method, first, second, printed):
    command = method + " " + printed
    server = hdc_server(greet() + exchange(command, "[Fail]forward exists"))
    assert run(server, lambda c: getattr(c, method)(first, second)) == "[Fail]forward exists"
    assert sent(server.connection(0)) == [command.encode()]


def test_keywords_keep_the_parameter_order(hdc_server):
    server = hdc_server(greet() + exchange("fport tcp:1 tcp:2", coded("OK")) + exchange("rport tcp:3 tcp:4", "OK"))
    assert run(server, lambda c: (c.fport(remote="tcp:2", local="tcp:1"),
                                  c.rport(local="tcp:4", remote="tcp:3"))) == ("OK", "OK")


@pytest.mark.parametrize("first, second, message", [
    ("tcp:99999", "tcp:1", "Invalid TCP port: 99999"),
    ("tcp:99999", "bad", "Invalid TCP port: 99999"),
    ("tcp:1", "abc", "Invalid forward node format: abc"),
    ("TCP:80", "tcp:1", "Invalid forward node format: TCP:80"),
    ("tcp:", "tcp:1", "Invalid TCP port: "),
    ("tcp:80 ", "tcp:1", "Invalid TCP port: 80 "),
    ("tcp:1", "jdwp:", "Invalid JDWP pid: "),
    ("tcp:1", "jdwp:-1", "Invalid JDWP pid: -1"),
    ("ark:1@2", "tcp:1", "Invalid ark format: expected pid@tid@debugger, got 1@2"),
    ("ark:x@y@d", "tcp:1", "Invalid pid in ark: x"),
    ("ark:1@y@d", "tcp:1", "Invalid tid in ark: y"),
    ("", "tcp:1", "Invalid forward node format: "),
])
@pytest.mark.parametrize("method", ["fport", "rport"])
def test_node_errors_send_nothing(hdc_server, method, first, second, message):
    server = hdc_server(greet() + exchange("list targets", "still\n"))
    assert run(server, lambda c: (outcome(getattr(c, method), first, second), c.list_targets())) == (
        Raised(RuntimeError, "Protocol error: " + message), ["still"])


# --- fport_remove ------------------------------------------------------------------------------------------


@pytest.mark.parametrize("reply, result", [
    ("removed", "removed"),
    (b"\x05\x00", ""),
    ("[Fail", "[Fail"),
    ("x[Fail]", "x[Fail]"),
    (" [Fail]x", " [Fail]x"),
    ("[fail]x", "[fail]x"),
    ("[Fail]no such task", Raised(RuntimeError, "Protocol error: [Fail]no such task")),
    ("[Fail]", Raised(RuntimeError, "Protocol error: [Fail]")),
    (coded("[Fail]x\n"), Raised(RuntimeError, "Protocol error: [Fail]x\n")),
])
def test_fport_remove_on_a_connection_of_its_own(hdc_server, reply, result):
    server = hdc_server(greet() + exchange("list targets", "own\n"),
                        greet() + exchange("fport rm tcp:8080 tcp:8080", reply))

    def remove(client):
        before = open_descriptors()
        removed = outcome(client.fport_remove, "tcp:8080 tcp:8080")
        # The temporary connection is closed by the call itself, on every path.
        return removed, open_descriptors() - before, client.list_targets()

    assert run(server, remove) == (result, 0, ["own"])
    own, temporary = server.results()
    assert sent(own) == [b"list targets"]
    assert sent(temporary) == [b"fport rm tcp:8080 tcp:8080"]  # handshake key all zero
    assert temporary.eof


@pytest.mark.parametrize("task", ["not a node", "", "tcp:1  tcp:2", "\u00e9", "a\0b"])
def test_fport_remove_sends_the_task_unparsed(hdc_server, task):
    server = hdc_server(greet(), greet() + exchange("fport rm " + task, "ok"))
    assert run(server, lambda c: c.fport_remove(task_str=task)) == "ok"


def test_fport_remove_failing_to_connect_leaves_the_client_usable(hdc_server):
    server = hdc_server(greet() + exchange("list targets", "own\n"), [steps.send_handshake(banner=b"XXXX")])
    assert run(server, lambda c: (outcome(c.fport_remove, "t"), c.list_targets())) == (
        Raised(RuntimeError, "Invalid banner: expected 'OHOS HDC', got [88, 88, 88, 88, 5, 6, 7, 8, 9, 10, 11, 12]"),
        ["own"])
    assert server.received(1) == b""
    assert server.received(0) == HANDSHAKE_REPLY + b"\x00\x00\x00\x0clist targets"
