// The module entry point. The module is made once per process: the class and
// the client objects it hands out must stay the same objects however often
// the interpreter asks for the module again.
#include <Python.h>

#include "fault.hpp"
#include "convert.hpp"
#include "fault_boundary.hpp"
#include "fetched_error.hpp"
#include "hdc_client.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"

namespace kelpie::py {
namespace {

constexpr int kApiVersion = 1013;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kelpie",
    "HDC Python module - HarmonyOS Device Connector client library",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* created_module = nullptr;

// The module's __all__, made an empty list when the module has none yet.
PyResult<PyRef> export_list(PyObject* module) {
    PyRef name = PyRef::steal(PyUnicode_InternFromString("__all__"));
    if (!name) return pending();
    PyRef all = PyRef::steal(PyObject_GetAttr(module, name.get()));
    if (all) {
        if (PyList_Check(all.get())) return all;
        return raise(PyExc_TypeError, "'" + type_name(all.get()) + "' object cannot be converted to 'PyList'");
    }
    FetchedError missing = FetchedError::fetch_normalized();
    if (missing.empty()) return pending();
    if (!PyErr_GivenExceptionMatches(missing.type(), PyExc_AttributeError)) {
        std::move(missing).restore();
        return std::unexpected(PendingError{});
    }
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, name.get(), all.get()) < 0) return pending();
    return all;
}

PyResult<void> add_class(PyObject* module) {
    auto type = hdc_client_type();
    if (!type) return std::unexpected(type.error());
    auto all = export_list(module);
    if (!all) return std::unexpected(all.error());
    PyRef name = PyRef::steal(PyUnicode_InternFromString("HdcClient"));
    if (!name) return pending();
    if (PyList_Append(all->get(), name.get()) < 0) {
        if (PyErr_Occurred()) PyErr_Print();
        throw InternalFault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(*type)) < 0) return pending();
    return {};
}

PyResult<PyRef> init_module() {
    if (created_module) return PyRef::borrow(created_module);
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kApiVersion));
    if (!module) return pending();
    // On failure `module` is released: a later import starts afresh.
    if (auto added = add_class(module.get()); !added) return std::unexpected(added.error());
    created_module = PyRef::borrow(module.get()).release();
    return module;
}

}  // namespace
}  // namespace kelpie::py

PyMODINIT_FUNC PyInit_kelpie() {
    return kelpie::py::entry_point(kelpie::py::init_module);
}
