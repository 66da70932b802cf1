"""The kelpie module and the HdcClient class as the interpreter sees them, and
the constructor's argument and error handling (nothing here needs a server)."""

import ctypes
import socket
import sys

import pytest

import kelpie
from kelpie import HdcClient

# What the import machinery gives every extension module.
STANDARD_MODULE_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
ADDR_NOT_TEXT = "argument 'addr': '{}' object cannot be converted to 'PyString'"


class Outer:
    class Inner:
        pass


class NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)


class Unnamed(metaclass=NoQualname):
    pass


class Text(str):
    pass


# --- Module --------------------------------------------------------------------------------------------


def test_module_exports_only_the_class():
    assert kelpie.__all__ == ["HdcClient"]
    assert type(kelpie.__all__) is list
    assert set(vars(kelpie)) - STANDARD_MODULE_ATTRIBUTES == {"HdcClient", "__all__"}
    assert kelpie.__name__ == "kelpie"
    assert kelpie.__doc__ == "HDC Python module - HarmonyOS Device Connector client library"


def test_internal_fault_class_is_not_reachable_from_the_module():
    assert not any(isinstance(v, type) and issubclass(v, BaseException) for v in vars(kelpie).values())


def test_reimport_keeps_class_and_exports():
    saved = sys.modules.pop("kelpie")
    try:
        import kelpie as again
        assert again.HdcClient is HdcClient
        assert again.__all__ == ["HdcClient"]
    finally:
        sys.modules["kelpie"] = saved


@pytest.mark.skipif(not hasattr(ctypes, "PyDLL"), reason="this interpreter's ctypes cannot call module entry points")
def test_second_init_returns_the_first_module():
    init = ctypes.PyDLL(kelpie.__file__).PyInit_kelpie
    init.restype = ctypes.py_object
    init.argtypes = []
    assert init() is kelpie
    assert kelpie.__all__ == ["HdcClient"]


# --- Class ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize("attribute, value", [
    ("__module__", "builtins"),
    ("__name__", "HdcClient"),
    ("__qualname__", "HdcClient"),
    ("__doc__", "Python wrapper for HDC client"),
    ("__text_signature__", "(addr)"),
])
def test_class_attributes(attribute, value):
    if not hasattr(HdcClient, attribute):
        pytest.skip("this interpreter does not expose %s" % attribute)
    assert getattr(HdcClient, attribute) == value


def test_subclassing_is_refused():
    with pytest.raises(TypeError):
        class Derived(HdcClient):
            pass
    with pytest.raises(TypeError):
        type("Derived", (HdcClient,), {})


# --- Constructor arguments -------------------------------------------------------------------------------


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "HdcClient.__new__() missing 1 required positional argument: 'addr'"),
    (("a", "b"), {}, "HdcClient.__new__() takes 1 positional arguments but 2 were given"),
    (("a", "b", "c"), {}, "HdcClient.__new__() takes 1 positional arguments but 3 were given"),
    (("a",), {"port": 1}, "HdcClient.__new__() got an unexpected keyword argument 'port'"),
    ((), {"Addr": "a"}, "HdcClient.__new__() got an unexpected keyword argument 'Addr'"),
    ((), {"\ud800": "a"}, "HdcClient.__new__() got an unexpected keyword argument '\\ud800'"),
    (("a",), {"addr": "b"}, "HdcClient.__new__() got multiple values for argument 'addr'"),
    # Keywords are checked in the caller's order, before missing parameters.
    ((), {"port": 1}, "HdcClient.__new__() got an unexpected keyword argument 'port'"),
    (("a",), {"port": 1, "addr": "b"}, "HdcClient.__new__() got an unexpected keyword argument 'port'"),
    (("a",), {"addr": "b", "port": 1}, "HdcClient.__new__() got multiple values for argument 'addr'"),
    (("a", "b"), {"port": 1}, "HdcClient.__new__() takes 1 positional arguments but 2 were given"),
    # Conversion: the type's qualified name, whatever the value.
    ((1,), {}, ADDR_NOT_TEXT.format("int")),
    ((None,), {}, ADDR_NOT_TEXT.format("NoneType")),
    ((), {"addr": b"127.0.0.1:1"}, ADDR_NOT_TEXT.format("bytes")),
    ((Outer.Inner(),), {}, ADDR_NOT_TEXT.format("Outer.Inner")),
    ((Unnamed(),), {}, ADDR_NOT_TEXT.format("<failed to extract type name>")),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        HdcClient(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_lone_surrogate_keeps_the_interpreters_encoding_error():
    with pytest.raises(UnicodeEncodeError) as info:
        HdcClient("127.0.0.1:\udc00")
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("call", [
    lambda: HdcClient(""),
    lambda: HdcClient(addr=""),
    lambda: HdcClient(Text("")),
    lambda: HdcClient.__new__(HdcClient, ""),
], ids=["positional", "keyword", "str-subclass", "__new__"])
def test_address_reaches_the_client(call):
    # The empty address fails inside the client, so it got through argument handling.
    with pytest.raises(RuntimeError, match="^I/O error: invalid socket address$"):
        call()


# --- Client errors ---------------------------------------------------------------------------------------


def test_client_error_is_a_plain_runtime_error():
    try:
        HdcClient("")
    except Exception as error:  # noqa: BLE001 - the point is that Exception catches it
        caught = error
    assert type(caught) is RuntimeError
    assert caught.args == ("I/O error: invalid socket address",)
    assert caught.__cause__ is None


def test_refused_connection_message():
    with socket.socket() as holder:  # bound but not listening: connecting is refused
        holder.bind(("127.0.0.1", 0))
        with pytest.raises(RuntimeError) as info:
            HdcClient("127.0.0.1:%d" % holder.getsockname()[1])
    message = str(info.value)
    assert message.startswith("I/O error: ") and message.endswith("(os error 111)")
    assert len(info.value.args) == 1
