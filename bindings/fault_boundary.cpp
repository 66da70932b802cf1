#include "fault_boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fault.hpp"

namespace kelpie::py {
namespace {

constexpr const char* kFaultName = "kelpie.InternalFault";
constexpr const char* kFaultDoc =
    "Raised when the kelpie module meets a broken internal invariant. It is not a client error and derives from "
    "BaseException so that handlers for Exception do not catch it.";
constexpr const char* kFaultWithoutText = "internal fault without a description";

[[noreturn]] void escape() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

// Created on first need and kept for the life of the process; deliberately not
// a module attribute, so that nothing can catch it by name.
PyObject* internal_fault_type() {
    static PyObject* type = nullptr;
    if (!type) type = PyErr_NewExceptionWithDoc(kFaultName, kFaultDoc, PyExc_BaseException, nullptr);
    return type;
}

void set_internal_fault(const char* text) {
    if (!text || !*text) text = kFaultWithoutText;
    PyObject* type = internal_fault_type();
    if (!type) escape();
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(std::strlen(text))));
    if (!message) escape();
    PyErr_SetObject(type, message.get());
}

}  // namespace

void api_failure() {
    if (PyErr_Occurred()) PyErr_Print();
    throw InternalFault("Python API call failed");
}

void contain_fault(const char* text) noexcept {
    try {
        set_internal_fault(text);
    } catch (...) {
        escape();
    }
}

void report_unraisable_fault(const char* text) noexcept {
    try {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        set_internal_fault(text);
        PyErr_WriteUnraisable(nullptr);
        PyErr_Restore(type, value, traceback);
    } catch (...) {
        escape();
    }
}

}  // namespace kelpie::py
