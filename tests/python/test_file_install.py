"""file_send, file_recv, install and uninstall: command texts for every flag
combination, path checks, and which replies end a collection."""

import itertools

import pytest

from support.exchange import END, Raised, coded, exchange, greet, numpy_like, outcome, run, sent

FLAGS = [("hold_timestamp", "-a"), ("sync_mode", "-sync"), ("compress", "-z"), ("mode_sync", "-m")]
POSITIONAL_ORDER = ["compress", "hold_timestamp", "sync_mode", "mode_sync"]
COMBINATIONS = list(itertools.product([False, True], repeat=4))  # in FLAGS order


def transfer_calls(method, first, second):
    """(call, expected command) for every combination of the flags, passed in every way."""
    word = "file send " if method == "file_send" else "file recv "
    for combination in COMBINATIONS:
        values = dict(zip([name for name, _ in FLAGS], combination))
        flags = " ".join(flag for (name, flag), on in zip(FLAGS, combination) if on)
        command = word + (flags + " " if flags else "") + first + " " + second
        positional = [values[name] for name in POSITIONAL_ORDER]
        yield (first, second, *positional), {}, command
        yield (first, second), {name: True for name, on in values.items() if on}, command
        for order in itertools.permutations(values):
            yield (first, second), {name: values[name] for name in order}, command


@pytest.mark.parametrize("method, first, second", [
    ("file_send", "local.txt", "/data/local/tmp/remote.txt"),
    ("file_recv", "/data/local/tmp/remote.txt", "local.txt"),
    ("file_send", "my file.txt", "/data/with space"),
])
def test_transfer_command_for_every_flag_combination(hdc_server, method, first, second):
    calls = list(transfer_calls(method, first, second))
    script = greet()
    for _, _, command in calls:
        script += exchange(command, coded("FileTransfer finish"))
    server = hdc_server(script)
    results = run(server, lambda c: [getattr(c, method)(*args, **kwargs) for args, kwargs, _ in calls])
    assert results == ["FileTransfer finish"] * len(calls)
    assert sent(server.connection(0)) == [command.encode() for _, _, command in calls]


def test_transfer_keyword_paths_and_numpy_flags(hdc_server):
    server = hdc_server(greet() + exchange("file recv -a -m r l", END) + exchange("file send -sync l r", END))
    assert run(server, lambda c: (
        c.file_recv(local_path="l", remote_path="r", hold_timestamp=numpy_like(True), mode_sync=True,
                    compress=numpy_like(False, name="bool")),
        c.file_send("l", "r", sync_mode=numpy_like(True, name="bool")))) == ("", "")


@pytest.mark.parametrize("first, second", [("", "r"), ("l", ""), ("", ""), ("a\0b", "r"), ("l", "\0"), ("\0", "")])
@pytest.mark.parametrize("method", ["file_send", "file_recv"])
def test_invalid_paths_send_nothing(hdc_server, method, first, second):
    server = hdc_server(greet() + exchange("list targets", "still\n"))
    assert run(server, lambda c: (outcome(getattr(c, method), first, second, compress=True), c.list_targets())) == (
        Raised(RuntimeError, "Protocol error: Invalid file path"), ["still"])


def collected(hdc_server, command, replies, call):
    """The call's outcome, and the next call's reply: "left" if the call read exactly `replies`."""
    server = hdc_server(greet() + exchange(command, *replies, "left\n") + exchange("list targets", "next\n"))
    return run(server, lambda c: (outcome(call, c), c.list_targets()))


@pytest.mark.parametrize("replies, output", [
    pytest.param(["FileTransfer finish"], "FileTransfer finish", id="FileTransfer-finish"),
    pytest.param(["10%\n", coded("Transfer finish")], "10%\nTransfer finish", id="Transfer-finish"),
    pytest.param(["a", "[Fail] no file"], "a[Fail] no file", id="[Fail]"),
    pytest.param(["transfer failed"], "transfer failed", id="fail"),
    pytest.param(["Failed", "FAIL", "transfer finish", END], "FailedFAILtransfer finish", id="no-marker"),
    pytest.param(["FileTransfer fin", "ish", END], "FileTransfer finish", id="split-marker"),
    pytest.param(["[Fa", "il]", END], "[Fail]", id="split-[Fail]"),
    pytest.param([END], "", id="empty-first"),
    pytest.param([b"\xe6\x96\x87", b"\xe4\xbb", b"\xb6 fail"], "\u6587\u4ef6 fail", id="split-character"),
])
def test_transfer_collection_end(hdc_server, replies, output):
    assert collected(hdc_server, "file send l r", replies, lambda c: c.file_send("l", "r")) == (output, ["left"])


BAD_REPLIES = [
    (["50%", b"\xff", END], "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0"),
    (["50%", b"\xe4", END], "UTF-8 error: incomplete utf-8 byte sequence from index 0"),
    (["50%", b""], "Protocol error: Received zero-length packet"),
]


@pytest.mark.parametrize("replies, message", BAD_REPLIES, ids=["invalid", "incomplete", "zero-length"])
@pytest.mark.parametrize("command, call", [
    ("file recv r l", lambda c: c.file_recv("r", "l")),
    ("install a", lambda c: c.install(["a"])),
], ids=["file_recv", "install"])
def test_collected_output_lost_on_a_bad_reply(hdc_server, command, call, replies, message):
    assert collected(hdc_server, command, replies, call) == (Raised(RuntimeError, message), ["left"])


# --- install and uninstall ---------------------------------------------------------------------------------


@pytest.mark.parametrize("args, kwargs, command", [
    ((["app.hap"],), {}, "install app.hap"),
    ((["app.hap"], True), {}, "install -r app.hap"),
    ((["app.hap"],), {"shared": True}, "install -s app.hap"),
    ((["app.hap"],), {"shared": True, "replace": True}, "install -r -s app.hap"),
    ((["a.hap", "b.hsp"], False, False), {}, "install a.hap b.hsp"),
    ((("a.hap", "b.hsp"),), {}, "install a.hap b.hsp"),
    (([],), {}, "install "),
    (((),), {"replace": True}, "install -r "),
    (([], True, True), {}, "install -r -s "),
    ((["my app.hap", "", "a\0b"],), {}, "install my app.hap  a\0b"),
    ((), {"packages": ["x.hap"], "replace": numpy_like(True)}, "install -r x.hap"),
])
def test_install_command_text(hdc_server, args, kwargs, command):
    server = hdc_server(greet() + exchange(command, "Success"))
    assert run(server, lambda c: c.install(*args, **kwargs)) == "Success"
    assert sent(server.connection(0)) == [command.encode()]


@pytest.mark.parametrize("args, kwargs, command", [
    (("com.example.app",), {}, "uninstall com.example.app"),
    (("com.example.app", True), {}, "uninstall -k com.example.app"),
    (("com.example.app",), {"shared": True}, "uninstall -s com.example.app"),
    (("com.example.app", True, True), {}, "uninstall -k -s com.example.app"),
    ((), {"package": "", "keep_data": False, "shared": numpy_like(True)}, "uninstall -s "),
    (("two words",), {}, "uninstall two words"),
    (("a\0b",), {}, "uninstall a\0b"),
])
def test_uninstall_command_text(hdc_server, args, kwargs, command):
    server = hdc_server(greet() + exchange(command, "Success"))
    assert run(server, lambda c: c.uninstall(*args, **kwargs)) == "Success"
    assert sent(server.connection(0)) == [command.encode()]


class Packages:
    """A sequence that cannot tell its length and yields its items through a generator."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        return self.items()


def test_packages_taken_in_iteration_order_length_not_needed(hdc_server):
    server = hdc_server(greet() + exchange("install b.hap a.hap", "Success"))
    assert run(server, lambda c: c.install(Packages(lambda: iter(["b.hap", "a.hap"])))) == "Success"


def test_call_back_from_the_iteration_is_refused_and_the_install_goes_on(hdc_server):
    server = hdc_server(greet() + exchange("install a.hap", "Success") + exchange("list targets", "free\n"))

    def calls(client):
        inner = []

        def items():
            inner.append(outcome(client.list_targets))
            yield "a.hap"
        return inner, client.install(Packages(items)), client.list_targets()

    assert run(server, calls) == ([Raised(RuntimeError, "Already borrowed")], "Success", ["free"])


@pytest.mark.parametrize("replies, output", [
    pytest.param(["Success"], "Success", id="Success"),
    pytest.param(["installing\n", coded("install bundle success")], "installing\ninstall bundle success",
                 id="success"),
    pytest.param(["Failure"], "Failure", id="Failure"),
    pytest.param(["[Fail]"], "[Fail]", id="[Fail]"),
    pytest.param(["msg:install failed"], "msg:install failed", id="fail"),
    pytest.param(["SUCCESS", "FAIL", END], "SUCCESSFAIL", id="case-sensitive"),
    pytest.param(["Suc", "cess", END], "Success", id="split-marker"),
    pytest.param([END], "", id="empty-first"),
])
def test_install_collection_end(hdc_server, replies, output):
    assert collected(hdc_server, "install a.hap", replies, lambda c: c.install(["a.hap"])) == (output, ["left"])


@pytest.mark.parametrize("replies, output", [
    (["Success"], "Success"),
    ([END], ""),
    (["Fail: not installed"], "Fail: not installed"),
    (["abc"], "abc"),
], ids=["success", "empty", "failure", "unjudged"])
def test_uninstall_reads_one_reply(hdc_server, replies, output):
    assert collected(hdc_server, "uninstall p", replies, lambda c: c.uninstall("p")) == (output, ["left"])
