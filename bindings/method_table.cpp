#include "method_table.hpp"

#include <array>

#include "fault_boundary.hpp"
#include "method_call.hpp"
#include "method_docs.hpp"
#include "methods.hpp"

namespace kelpie::py {
namespace {

#ifdef PYPY_VERSION
// PyPy ignores the missing base-type flag and would let Python code subclass
// HdcClient, whose instances then bypass the layout this module relies on.
// Refusing in __init_subclass__ gives the refusal (and the message) the
// class gets from CPython.
PyObject* refuse_subclass(PyObject*, PyObject*, PyObject*) {
    return entry_point([]() -> PyResult<PyRef> {
        return raise(PyExc_TypeError, "type 'builtins.HdcClient' is not an acceptable base type");
    });
}
#endif

}  // namespace

PyMethodDef* hdc_client_methods() {
    static std::array methods{
#ifdef PYPY_VERSION
        PyMethodDef{"__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse_subclass)),
                    METH_CLASS | METH_VARARGS | METH_KEYWORDS, nullptr},
#endif
        noargs_method("list_targets", list_targets, docs::list_targets),
        fastcall_method("connect_device", connect_device, docs::connect_device),
        fastcall_method("shell", shell, docs::shell),
        fastcall_method("file_send", file_send, docs::file_send),
        fastcall_method("file_recv", file_recv, docs::file_recv),
        fastcall_method("fport", fport, docs::fport),
        fastcall_method("rport", rport, docs::rport),
        fastcall_method("fport_remove", fport_remove, docs::fport_remove),
        fastcall_method("install", install, docs::install),
        fastcall_method("uninstall", uninstall, docs::uninstall),
        fastcall_method("hilog", hilog, docs::hilog),
        noargs_method("wait_for_device", wait_for_device, docs::wait_for_device),
        PyMethodDef{nullptr, nullptr, 0, nullptr},
    };
    return methods.data();
}

}  // namespace kelpie::py
