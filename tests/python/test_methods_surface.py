"""The twelve HdcClient methods as Python sees them: their order, texts and
signatures, and every argument that is refused before anything is sent."""

import inspect

import pytest

from kelpie import HdcClient
from support import PYPY, ScriptServer
from support.exchange import Raised, exchange, greet, numpy_like, outcome

METHODS = [
    "list_targets", "connect_device", "shell", "file_send", "file_recv", "fport", "rport", "fport_remove",
    "install", "uninstall", "hilog", "wait_for_device",
]

FLAG_HELP = (
    "    compress: Whether to compress during transfer (default: False)\n"
    "    hold_timestamp: Whether to hold/preserve file timestamp (default: False)\n"
    "    sync_mode: Only update newer files (default: False)\n"
    "    mode_sync: Enable mode sync (default: False)\n")

# Signature line, then the docstring proper.
TEXTS = {
    "list_targets": ("list_targets($self)",
                     "List all connected devices\n\nReturns:\n    List of device IDs\n\nExample:\n"
                     "    >>> devices = client.list_targets()\n    >>> print(devices)\n    ['FMR0223C13000649']"),
    "connect_device": ("connect_device($self, device_id)",
                       "Connect to a specific device\n\nArgs:\n    device_id: Device identifier\n\nExample:\n"
                       "    >>> client.connect_device(\"FMR0223C13000649\")"),
    "shell": ("shell($self, command)",
              "Execute a shell command on the device\n\nArgs:\n    command: Shell command to execute\n\n"
              "Returns:\n    Command output as string\n\nExample:\n"
              "    >>> output = client.shell(\"ls -l /data\")\n    >>> print(output)"),
    "file_send": ("file_send($self, local_path, remote_path, compress=False, hold_timestamp=False, sync_mode=False, "
                  "mode_sync=False)",
                  "Send a file to device\n\nArgs:\n    local_path: Local file path\n"
                  "    remote_path: Remote file path on device\n" + FLAG_HELP + "\nReturns:\n"
                  "    Transfer result message\n\nExample:\n"
                  "    >>> result = client.file_send(\"local.txt\", \"/data/local/tmp/remote.txt\")\n"
                  "    >>> print(result)"),
    "file_recv": ("file_recv($self, remote_path, local_path, compress=False, hold_timestamp=False, sync_mode=False, "
                  "mode_sync=False)",
                  "Receive a file from device\n\nArgs:\n    remote_path: Remote file path on device\n"
                  "    local_path: Local file path\n" + FLAG_HELP + "\nReturns:\n"
                  "    Transfer result message\n\nExample:\n"
                  "    >>> result = client.file_recv(\"/data/local/tmp/remote.txt\", \"local.txt\")\n"
                  "    >>> print(result)"),
    "fport": ("fport($self, local, remote)",
              "Create a forward port mapping (local -> device)\n\nArgs:\n"
              "    local: Local forward node (e.g., \"tcp:8080\")\n"
              "    remote: Remote forward node (e.g., \"tcp:8080\")\n"
              "\nReturns:\n    Forward result message\n\nExample:\n"
              "    >>> result = client.fport(\"tcp:8080\", \"tcp:8080\")\n    >>> print(result)"),
    "rport": ("rport($self, remote, local)",
              "Create a reverse port mapping (device -> local)\n\nArgs:\n"
              "    remote: Remote forward node (e.g., \"tcp:9090\")\n"
              "    local: Local forward node (e.g., \"tcp:9090\")\n"
              "\nReturns:\n    Reverse forward result message\n\nExample:\n"
              "    >>> result = client.rport(\"tcp:9090\", \"tcp:9090\")\n    >>> print(result)"),
    "fport_remove": ("fport_remove($self, task_str)",
                     "Remove a forward port mapping\n\nArgs:\n    task_str: Task string (e.g., \"tcp:8080 tcp:8080\")\n"
                     "\nReturns:\n    Remove result message\n\nExample:\n"
                     "    >>> result = client.fport_remove(\"tcp:8080 tcp:8080\")\n    >>> print(result)"),
    "install": ("install($self, packages, replace=False, shared=False)",
                "Install an application on the device\n\nArgs:\n"
                "    packages: List of package paths (.hap or .hsp files)\n"
                "    replace: Replace existing application (default: False)\n"
                "    shared: Install shared bundle for multi-apps (default: False)\n\n"
                "Returns:\n    Install result message\n\nExample:\n"
                "    >>> result = client.install([\"app.hap\"], replace=True)\n    >>> print(result)"),
    "uninstall": ("uninstall($self, package, keep_data=False, shared=False)",
                  "Uninstall an application from the device\n\nArgs:\n    package: Package name to uninstall\n"
                  "    keep_data: Keep the data and cache directories (default: False)\n"
                  "    shared: Remove shared bundle (default: False)\n\n"
                  "Returns:\n    Uninstall result message\n\nExample:\n"
                  "    >>> result = client.uninstall(\"com.example.app\")\n    >>> print(result)"),
    "hilog": ("hilog($self, args)",
              "Get device logs (hilog)\n\nArgs:\n    args: Optional hilog arguments (e.g., \"-t MyTag\")\n\n"
              "Returns:\n    Device logs as string\n\nExample:\n    >>> logs = client.hilog()\n    >>> print(logs)\n"
              "    >>> # With filter\n    >>> logs = client.hilog(\"-t MyTag\")"),
    "wait_for_device": ("wait_for_device($self)",
                        "Wait for a device to be connected\n\nReturns:\n    Device ID of the connected device\n\n"
                        "Example:\n    >>> device_id = client.wait_for_device()\n"
                        "    >>> print(f\"Device connected: {device_id}\")"),
}

no_method_docs = pytest.mark.skipif(PYPY, reason="PyPy 7.3 does not expose the docstrings of extension-type methods")


def test_method_table_order():
    assert [name for name in HdcClient.__dict__ if not name.startswith("_")] == METHODS


@no_method_docs
@pytest.mark.parametrize("name", METHODS)
def test_docstring_and_text_signature(name):
    line, doc = TEXTS[name]
    method = getattr(HdcClient, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == line[len(name):]


@no_method_docs
@pytest.mark.parametrize("name", METHODS)
def test_inspect_signature(name):
    line, _ = TEXTS[name]
    params = inspect.signature(getattr(HdcClient, name)).parameters
    assert list(params)[0] == "self" and params["self"].kind is inspect.Parameter.POSITIONAL_ONLY
    written = [p.strip() for p in line[len(name) + 1:-1].split(",")[1:]]
    assert ["%s=%r" % (p.name, p.default) if p.default is not p.empty else p.name
            for p in list(params.values())[1:]] == written
    assert {p.kind for p in list(params.values())[1:]} <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}


# --- Arguments refused before anything is sent ---------------------------------------------------------
#
# Every test here ends with list_targets, whose command the server expects as the
# first packet after the handshake: anything a refused call had sent would come first.

SENTINEL = "sentinel"


@pytest.fixture(scope="module")
def sentinel_server(tmp_path_factory):
    server = ScriptServer(
        {"connections": [], "repeat": greet() + exchange("list targets", SENTINEL + "\n"), "lifetime": 600},
        str(tmp_path_factory.mktemp("sentinel")))
    yield server
    server.close()


@pytest.fixture
def client(sentinel_server):
    c = HdcClient(sentinel_server.addr)
    yield c
    assert c.list_targets() == [SENTINEL]


class Packages:
    """A sequence whose iteration is given by a generator function."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        return self.items()


def failing(error):
    def items():
        yield "a.hap"
        raise error
    return Packages(items)


def missing(f, names):
    word = "argument" if len(names) == 1 else "arguments"
    return "HdcClient.%s() missing %d required positional %s: %s" % (f, len(names), word, " and ".join(
        "'%s'" % n for n in names))


def not_converted(param, type_name, target):
    return "argument '%s': '%s' object cannot be converted to '%s'" % (param, type_name, target)


ARGUMENT_ERRORS = [
    # Missing required parameters, named in parameter order.
    ("connect_device", (), {}, missing("connect_device", ["device_id"])),
    ("shell", (), {}, missing("shell", ["command"])),
    ("file_send", (), {}, missing("file_send", ["local_path", "remote_path"])),
    ("file_send", ("a",), {"compress": True}, missing("file_send", ["remote_path"])),
    ("file_recv", (), {"local_path": "l"}, missing("file_recv", ["remote_path"])),
    ("file_recv", (), {}, missing("file_recv", ["remote_path", "local_path"])),
    ("fport", (), {}, missing("fport", ["local", "remote"])),
    ("rport", (), {}, missing("rport", ["remote", "local"])),
    ("fport_remove", (), {}, missing("fport_remove", ["task_str"])),
    ("install", (), {"replace": True}, missing("install", ["packages"])),
    ("uninstall", (), {}, missing("uninstall", ["package"])),
    ("hilog", (), {}, missing("hilog", ["args"])),
    # Too many positional arguments.
    ("connect_device", ("a", "b"), {}, "HdcClient.connect_device() takes 1 positional arguments but 2 were given"),
    ("hilog", (None, None), {}, "HdcClient.hilog() takes 1 positional arguments but 2 were given"),
    ("fport", ("tcp:1", "tcp:2", "tcp:3"), {}, "HdcClient.fport() takes 2 positional arguments but 3 were given"),
    ("file_send", ("a", "b") + (True,) * 5, {},
     "HdcClient.file_send() takes from 2 to 6 positional arguments but 7 were given"),
    ("file_recv", ("a", "b") + (False,) * 6, {},
     "HdcClient.file_recv() takes from 2 to 6 positional arguments but 8 were given"),
    ("install", ([], True, True, True), {},
     "HdcClient.install() takes from 1 to 3 positional arguments but 4 were given"),
    ("uninstall", ("p", True, True, True), {},
     "HdcClient.uninstall() takes from 1 to 3 positional arguments but 4 were given"),
    # Keywords: checked in the caller's order, before missing parameters.
    ("shell", (), {"cmd": "ls"}, "HdcClient.shell() got an unexpected keyword argument 'cmd'"),
    ("file_send", ("a", "b"), {"b_flag": True}, "HdcClient.file_send() got an unexpected keyword argument 'b_flag'"),
    ("fport", (), {"remote": "tcp:1", "Local": "tcp:2"},
     "HdcClient.fport() got an unexpected keyword argument 'Local'"),
    ("install", (["a"],), {"self": 1}, "HdcClient.install() got an unexpected keyword argument 'self'"),
    ("shell", ("ls",), {"command": "ls"}, "HdcClient.shell() got multiple values for argument 'command'"),
    ("file_recv", ("r", "l"), {"remote_path": "r"},
     "HdcClient.file_recv() got multiple values for argument 'remote_path'"),
    ("install", (["a"],), {"x": 1, "packages": []}, "HdcClient.install() got an unexpected keyword argument 'x'"),
    ("install", (["a"],), {"packages": [], "x": 1}, "HdcClient.install() got multiple values for argument 'packages'"),
    # Texts.
    ("connect_device", (1,), {}, not_converted("device_id", "int", "PyString")),
    ("shell", (None,), {}, not_converted("command", "NoneType", "PyString")),
    ("shell", (b"ls",), {}, not_converted("command", "bytes", "PyString")),
    ("fport", (1, 2), {}, not_converted("local", "int", "PyString")),
    ("rport", ("tcp:1", 2), {}, not_converted("local", "int", "PyString")),
    ("fport_remove", (None,), {}, not_converted("task_str", "NoneType", "PyString")),
    ("file_recv", ("r", ["l"]), {}, not_converted("local_path", "list", "PyString")),
    ("uninstall", (1.5,), {}, not_converted("package", "float", "PyString")),
    ("hilog", (1,), {}, not_converted("args", "int", "PyString")),
    # Flags: bool, or numpy's bool_; never None or int. Converted in parameter order.
    ("file_send", ("a", "b"), {"compress": 1}, not_converted("compress", "int", "PyBool")),
    ("file_send", ("a", "b"), {"compress": None}, not_converted("compress", "NoneType", "PyBool")),
    ("file_send", ("a", "b"), {"mode_sync": None, "compress": 1}, not_converted("compress", "int", "PyBool")),
    ("file_recv", ("a", "b", False, False, False, 0), {}, not_converted("mode_sync", "int", "PyBool")),
    ("file_send", (1, "b"), {"compress": 1}, not_converted("local_path", "int", "PyString")),
    ("install", (["a"],), {"replace": 1}, not_converted("replace", "int", "PyBool")),
    ("install", (["a"],), {"shared": "yes"}, not_converted("shared", "str", "PyBool")),
    ("uninstall", ("p",), {"keep_data": None}, not_converted("keep_data", "NoneType", "PyBool")),
    ("uninstall", ("p",), {"shared": numpy_like(1)}, not_converted("shared", "int", "PyBool")),
    ("uninstall", ("p",), {"shared": numpy_like(None, name="bool")}, not_converted("shared", "NoneType", "PyBool")),
    ("uninstall", ("p",), {"shared": numpy_like(True, module="numpyx")}, not_converted("shared", "bool_", "PyBool")),
    ("uninstall", ("p",), {"shared": numpy_like(True, name="bool8")}, not_converted("shared", "bool8", "PyBool")),
    # Package lists: any sequence but a str, of str items.
    ("install", ("app.hap",), {}, "argument 'packages': Can't extract `str` to `Vec`"),
    ("install", (type("Name", (str,), {})("a.hap"),), {}, "argument 'packages': Can't extract `str` to `Vec`"),
    ("install", (5,), {}, not_converted("packages", "int", "Sequence")),
    ("install", ({"a.hap": 1},), {}, not_converted("packages", "dict", "Sequence")),
    ("install", (b"a.hap",), {}, not_converted("packages", "int", "PyString")),
    ("install", ({"a.hap"},), {}, not_converted("packages", "set", "Sequence")),
    ("install", ((p for p in ["a.hap"]),), {}, not_converted("packages", "generator", "Sequence")),
    ("install", (["a.hap", 3],), {}, not_converted("packages", "int", "PyString")),
    ("install", (("a.hap", None),), {}, not_converted("packages", "NoneType", "PyString")),
    ("install", (failing(TypeError("bad item")),), {}, "argument 'packages': bad item"),
]


@pytest.mark.parametrize("name, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(client, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(client, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize("name", ["list_targets", "wait_for_device"])
def test_methods_without_parameters_refuse_arguments(client, name):
    with pytest.raises(TypeError):
        getattr(client, name)(1)
    with pytest.raises(TypeError):
        getattr(client, name)(x=1)


def test_a_str_without_utf8_form_keeps_the_encoding_error(client):
    with pytest.raises(UnicodeEncodeError):
        client.shell("echo \udc00")


class OwnTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [ValueError("iteration failed"), OwnTypeError("mine"), KeyboardInterrupt()],
                         ids=["ValueError", "TypeError-subclass", "KeyboardInterrupt"])
def test_errors_of_the_iteration_pass_through(client, error):
    with pytest.raises(BaseException) as info:
        client.install(failing(error))
    assert info.value is error


def test_type_error_of_the_iteration_keeps_its_cause(client):
    cause = KeyError("why")
    original = TypeError("bad item")
    original.__cause__ = cause
    with pytest.raises(TypeError) as info:
        client.install(failing(original))
    assert info.value.args == ("argument 'packages': bad item",)
    assert info.value.__cause__ is cause


def test_a_call_back_into_the_client_while_it_is_held(client):
    inner = []

    def items():
        # Parsing comes before the hold, conversion after it.
        inner.extend([outcome(client.shell), outcome(client.shell, 1), outcome(client.install, "x"),
                      outcome(client.list_targets)])
        client.wait_for_device()
        yield "never"
    with pytest.raises(RuntimeError) as info:
        client.install(Packages(items))
    assert type(info.value) is RuntimeError and info.value.args == ("Already borrowed",)
    assert inner == [Raised(TypeError, missing("shell", ["command"]))] + [Raised(RuntimeError, "Already borrowed")] * 3


@pytest.mark.parametrize("error", [ZeroDivisionError("no truth"), TypeError("no truth")])
def test_numpy_bool_whose_bool_raises(client, error):
    with pytest.raises(type(error)) as info:
        client.file_send("a", "b", compress=numpy_like(error))
    assert info.value.args == (("argument 'compress': no truth",) if type(error) is TypeError else ("no truth",))
