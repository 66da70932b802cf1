"""Hostile and odd Python input: str subclasses that lie about themselves,
lone surrogates and oversized texts in every text parameter, objects whose
truth or iteration raises or calls back into the same client, the client
dropped from inside its own call, and many threads each with a client of its
own. Nothing refused may reach the server, and the client must stay usable."""

import threading

import pytest

import kelpie
from support import collect_garbage, open_descriptors, thread_count
from support.exchange import END, Raised, coded, exchange, greet, numpy_like, outcome, run, sent

LIMIT = 523264
SENTINEL = "sentinel"


def sentinel_check(hdc_server, fn):
    """fn(client) on a fresh client, then list_targets: whatever fn sent would be read first."""
    server = hdc_server(greet() + exchange("list targets", SENTINEL + "\n"), repeat=greet(), count=2)
    result = run(server, lambda c: (outcome(fn, c), c.list_targets()))
    assert result[1] == [SENTINEL]
    return result[0]


# Every text parameter, with a call that puts `text` there.
TEXT_PARAMETERS = {
    "device_id": lambda c, t: c.connect_device(t),
    "command": lambda c, t: c.shell(t),
    "args": lambda c, t: c.hilog(t),
    "local_path": lambda c, t: c.file_send(t, "r"),
    "remote_path": lambda c, t: c.file_recv(t, "l"),
    "local": lambda c, t: c.fport(t, "tcp:1"),
    "remote": lambda c, t: c.rport(t, "tcp:1"),
    "task_str": lambda c, t: c.fport_remove(t),
    "packages": lambda c, t: c.install(["a.hap", t]),
    "package": lambda c, t: c.uninstall(t),
}


@pytest.mark.parametrize("name", list(TEXT_PARAMETERS))
def test_lone_surrogate_in_every_text_parameter(hdc_server, name):
    result = sentinel_check(hdc_server, lambda c: TEXT_PARAMETERS[name](c, "tcp:\udc801"))
    assert isinstance(result, Raised) and result.kind is UnicodeEncodeError


class Liar(str):
    """A str that reports other contents through every method Python code would use."""

    def __str__(self):
        return "lie"

    def __repr__(self):
        return "'lie'"

    def encode(self, *args, **kwargs):
        return b"lie"

    def __len__(self):
        return 3

    def __iter__(self):
        return iter("lie")

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


LIAR_CALLS = [
    ("shell", lambda c: c.shell(Liar("ls -l")), "shell ls -l", [coded("x"), END], "x"),
    ("hilog", lambda c: c.hilog(Liar("-t T")), "hilog -t T", [coded("x"), END], "x"),
    ("file_send", lambda c: c.file_send(Liar("a b"), Liar("c")), "file send a b c", [coded("Transfer finish")],
     "Transfer finish"),
    ("fport", lambda c: c.fport(Liar("tcp:+08"), Liar("dev:d")), "fport tcp:8 dev:d", ["ok"], "ok"),
    ("install", lambda c: c.install((Liar("a.hap"), "b.hap")), "install a.hap b.hap", [coded("Success")], "Success"),
    ("uninstall", lambda c: c.uninstall(Liar("com.x")), "uninstall com.x", ["done"], "done"),
]


@pytest.mark.parametrize("name, call, command, replies, result", LIAR_CALLS, ids=[c[0] for c in LIAR_CALLS])
def test_str_subclasses_are_taken_for_their_contents(hdc_server, name, call, command, replies, result):
    server = hdc_server(greet() + exchange(command, *replies))
    assert run(server, call) == result
    assert sent(server.connection(0)) == [command.encode()]


@pytest.mark.parametrize("length", [0, 3, 40, 1 << 20], ids=["0", "shorter", "longer", "far-longer"])
def test_str_subclass_whose_len_lies(hdc_server, length):
    # PyPy took the UTF-8 size of a str subclass from its __len__: a shorter
    # one cut the command, a longer one sent whatever memory followed the text.
    text = type("Sized", (str,), {"__len__": lambda self: length})("echo h\u00e9")
    server = hdc_server(greet() + exchange("shell echo h\u00e9", END))
    assert run(server, lambda c: c.shell(text)) == ""
    assert sent(server.connection(0)) == ["shell echo h\u00e9".encode()]


def test_str_subclass_as_the_address(hdc_server):
    server = hdc_server(greet() + exchange("list targets", "d\n"))
    client = kelpie.HdcClient(Liar(server.addr))
    assert client.list_targets() == ["d"]


# Texts one byte too long for a packet, in every parameter that goes into a command.
OVERSIZED = [
    ("shell", lambda c: c.shell("x" * (LIMIT - len("shell ") + 1))),
    ("hilog", lambda c: c.hilog("x" * (LIMIT - len("hilog ") + 1))),
    ("file_send", lambda c: c.file_send("l", "x" * (LIMIT - len("file send l ") + 1))),
    ("file_recv", lambda c: c.file_recv("x" * (LIMIT - len("file recv  l") + 1), "l")),
    ("install", lambda c: c.install(["x" * 1000] * 500 + ["y" * (LIMIT - len("install ") - 500 * 1001 + 1)])),
    ("uninstall", lambda c: c.uninstall("x" * (LIMIT - len("uninstall -k ") + 1), keep_data=True)),
    ("fport", lambda c: c.fport("dev:" + "x" * (LIMIT - len("fport dev: tcp:1") + 1), "tcp:1")),
    ("rport", lambda c: c.rport("tcp:1", "localabstract:" + "x" * (LIMIT - len("rport tcp:1 localabstract:") + 1))),
]


@pytest.mark.parametrize("name, call", OVERSIZED, ids=[o[0] for o in OVERSIZED])
def test_command_one_byte_over_the_limit_sends_nothing(hdc_server, name, call):
    assert sentinel_check(hdc_server, call) == Raised(
        RuntimeError, "Buffer error: Data size 523265 exceeds maximum packet size 523264")


def test_oversized_task_fails_on_its_own_connection(hdc_server):
    # fport_remove opens its connection first; the command is refused before it is written.
    task = "x" * (LIMIT - len("fport rm ") + 1)
    server = hdc_server(greet() + exchange("list targets", SENTINEL + "\n"), greet())
    assert run(server, lambda c: (outcome(c.fport_remove, task), c.list_targets())) == (
        Raised(RuntimeError, "Buffer error: Data size 523265 exceeds maximum packet size 523264"), [SENTINEL])
    assert sent(server.connection(1)) == []


class Truth:
    def __init__(self):
        self.asked = 0

    def __bool__(self):
        self.asked += 1
        raise AssertionError("a flag's truth was asked")


def test_flags_are_never_asked_for_their_truth(hdc_server):
    flag = Truth()
    result = sentinel_check(hdc_server, lambda c: c.install(["a.hap"], replace=flag))
    assert result == Raised(TypeError, "argument 'replace': 'Truth' object cannot be converted to 'PyBool'")
    assert flag.asked == 0


def test_numpy_bool_calling_back_into_the_same_client(hdc_server):
    inner = []

    def truth(self):
        inner.append(outcome(client.list_targets))
        return True

    server = hdc_server(greet() + exchange("file send -z a b", coded("FileTransfer finish")))
    client = kelpie.HdcClient(server.addr)
    flag = type("bool_", (), {"__module__": "numpy", "__bool__": truth})()
    assert client.file_send("a", "b", compress=flag) == "FileTransfer finish"
    assert inner == [Raised(RuntimeError, "Already borrowed")]


class Sized:
    """A sequence whose size cannot be told; iteration alone decides."""

    def __init__(self, items, on_iter=None):
        self.items, self.on_iter = items, on_iter

    def __len__(self):
        raise ValueError("no size")

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.on_iter:
            self.on_iter()
        return iter(self.items)


def test_packages_whose_size_fails_are_iterated(hdc_server):
    server = hdc_server(greet() + exchange("install a.hap b.hap", coded("Success")))
    assert run(server, lambda c: c.install(Sized(["a.hap", "b.hap"]))) == "Success"


def test_packages_whose_iterator_is_no_iterator(hdc_server):
    class Broken(Sized):
        def __iter__(self):
            return 5

    result = sentinel_check(hdc_server, lambda c: c.install(Broken(["a.hap"])))
    assert result.kind is TypeError and result.message.startswith("argument 'packages': ")


def test_client_dropped_by_its_own_call(hdc_server):
    """The only reference outside the call goes away while the call converts its
    arguments: the call finishes on the object it holds, which goes afterwards."""
    server = hdc_server(greet() + exchange("install a.hap", coded("Success")))
    before = open_descriptors(), thread_count()
    holder = [kelpie.HdcClient(server.addr)]
    assert holder[0].install(Sized(["a.hap"], on_iter=holder.clear)) == "Success"
    assert holder == []
    collect_garbage()
    assert (open_descriptors(), thread_count()) == before
    assert server.connection(0).eof


def test_many_threads_each_with_its_own_client(hdc_server):
    threads, calls = 8, 25
    connections = [greet() + exchange("list targets", "conn%d\n" % i) * calls for i in range(threads)]
    server = hdc_server(*connections)
    seen, errors = [None] * threads, []

    def work(slot):
        try:
            client = kelpie.HdcClient(server.addr)
            replies = {tuple(client.list_targets()) for _ in range(calls)}
            assert len(replies) == 1, replies  # one connection per client, never another's reply
            seen[slot] = replies.pop()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(60)
    assert errors == []
    assert sorted(seen) == sorted(("conn%d" % i,) for i in range(threads))
