"""kelpie.pyi against the module it describes.

mypy's stubtest compares every parameter name, kind and default with the
running module (CPython only: PyPy does not expose the methods' signatures).
What stubtest cannot see is checked here: the docstrings, the constructor, the
set of names, and the return annotations, by calling every method against the
simulator (with keyword arguments named as in the stub, which checks the
parameter names on PyPy too).
"""

import ast
import os
import socket
import subprocess
import sys

import pytest

import kelpie

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUB = os.path.join(REPO, "kelpie.pyi")
SIM_DIR = os.path.join(REPO, "python")
if SIM_DIR not in sys.path:
    sys.path.insert(0, SIM_DIR)

from kelpie_sim.launcher import SimProcess  # noqa: E402

CPYTHON = sys.implementation.name == "cpython"
DEVICE = "kelpie-sim-1"


def parse_stub():
    with open(STUB, encoding="utf-8") as f:
        module = ast.parse(f.read(), STUB)
    classes = [n for n in module.body if isinstance(n, ast.ClassDef)]
    exports = [ast.literal_eval(n.value) for n in module.body
               if isinstance(n, ast.Assign) and [t.id for t in n.targets] == ["__all__"]]
    assert [c.name for c in classes] == ["HdcClient"] and len(exports) == 1
    methods = {n.name: n for n in classes[0].body if isinstance(n, ast.FunctionDef)}
    return module, classes[0], exports[0], methods


MODULE, CLASS, EXPORTS, METHODS = parse_stub()
PUBLIC = sorted(name for name in METHODS if not name.startswith("_"))


def parameters(fn):
    """[(name, default or None)] after self/cls."""
    args = fn.args.args[1:]
    defaults = [None] * (len(args) - len(fn.args.defaults)) + [ast.literal_eval(d) for d in fn.args.defaults]
    return [(a.arg, d) for a, d in zip(args, defaults)]


def test_stub_names_what_the_module_has():
    assert EXPORTS == kelpie.__all__
    assert ast.get_docstring(MODULE) == kelpie.__doc__
    assert ast.get_docstring(CLASS) == kelpie.HdcClient.__doc__
    assert [ast.unparse(d) for d in CLASS.decorator_list] == ["final"], "subclassing is refused at run time"
    runtime = sorted(n for n in dir(kelpie.HdcClient) if not n.startswith("_"))
    assert PUBLIC == runtime


def test_constructor():
    assert parameters(METHODS["__new__"]) == [("addr", None)]
    assert kelpie.HdcClient.__text_signature__ == "(addr)"


@pytest.mark.skipif(not CPYTHON, reason="PyPy does not expose the methods' docstrings")
def test_docstrings_match_the_module():
    differ = [n for n in PUBLIC if ast.get_docstring(METHODS[n]) != getattr(kelpie.HdcClient, n).__doc__]
    assert differ == []


@pytest.mark.skipif(not CPYTHON, reason="stubtest needs the signatures only CPython exposes")
def test_stubtest(tmp_path):
    env = dict(os.environ, MYPYPATH=REPO, PYTHONPATH=os.path.dirname(kelpie.__file__))
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "kelpie"], cwd=str(tmp_path), env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    assert run.returncode == 0, run.stdout


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sample_calls(folder):
    """Arguments for one successful call of every method, by the stub's parameter names."""
    port = free_port()
    local = os.path.join(folder, "sample.txt")
    package = os.path.join(folder, "com.example.stub.hap")
    for path in (local, package):
        with open(path, "w") as f:
            f.write("sample")
    return [
        ("list_targets", {}),
        ("wait_for_device", {}),
        ("connect_device", {"device_id": DEVICE}),
        ("shell", {"command": "echo hi"}),
        ("hilog", {"args": None}),
        ("file_send", {"local_path": local, "remote_path": "/data/local/tmp/sample.txt", "compress": False,
                       "hold_timestamp": False, "sync_mode": False, "mode_sync": False}),
        ("file_recv", {"remote_path": "/data/local/tmp/sample.txt", "local_path": local + ".back",
                       "compress": False, "hold_timestamp": False, "sync_mode": False, "mode_sync": False}),
        ("fport", {"local": "tcp:%d" % port, "remote": "tcp:7"}),
        ("rport", {"remote": "tcp:9100", "local": "tcp:%d" % port}),
        ("fport_remove", {"task_str": "tcp:%d tcp:7" % port}),
        ("install", {"packages": [package], "replace": False, "shared": False}),
        ("uninstall", {"package": "com.example.stub", "keep_data": False, "shared": False}),
    ]


def conforms(value, annotation):
    if annotation == "None":
        return value is None
    if annotation == "str":
        return type(value) is str
    if annotation == "list[str]":
        return type(value) is list and all(type(v) is str for v in value)
    raise AssertionError("no check for the annotation %r" % annotation)


def test_every_method_returns_what_the_stub_says(tmp_path):
    calls = sample_calls(str(tmp_path))
    assert sorted(name for name, _ in calls) == PUBLIC
    for name, kwargs in calls:
        assert sorted(kwargs) == sorted(p for p, _ in parameters(METHODS[name])), name
    with SimProcess(["--devices", "1", "--max-seconds", "60"]) as sim:
        client = kelpie.HdcClient(addr=sim.addr)
        for name, kwargs in calls:
            result = getattr(client, name)(**kwargs)
            annotation = ast.unparse(METHODS[name].returns)
            assert conforms(result, annotation), "%s returned %.80r, the stub says %s" % (name, result, annotation)
