// The fault boundary around every entry point the interpreter calls. An
// internal fault (kelpie::InternalFault or any other C++ exception) must never
// unwind into the interpreter: it becomes the internal-fault exception, which
// derives from BaseException so that `except Exception` does not swallow it.
#pragma once

#include <Python.h>

#include <exception>

#include "pending_error.hpp"
#include "py_ref.hpp"

namespace kelpie::py {

// For an interpreter object-creation call that failed where failure is not
// expected (building a result or a message): prints the interpreter's pending
// error, then throws the fault "Python API call failed".
[[noreturn]] void api_failure();

// Sets the internal-fault exception with the fault's text (a fixed text when
// it has none). Ends the process when the fault cannot even be reported.
void contain_fault(const char* text) noexcept;

// Containment for deallocation: nobody can receive an exception there, so the
// fault is reported as unraisable, leaving any pending exception untouched.
void report_unraisable_fault(const char* text) noexcept;

template <class Body>
PyObject* entry_point(Body&& body) noexcept {
    try {
        PyResult<PyRef> result = body();
        if (!result) return nullptr;
        return result->release();
    } catch (const std::exception& fault) {
        contain_fault(fault.what());
    } catch (...) {
        contain_fault(nullptr);
    }
    return nullptr;
}

// Returns false when a fault ended the body early.
template <class Body>
bool dealloc_boundary(Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (const std::exception& fault) {
        report_unraisable_fault(fault.what());
    } catch (...) {
        report_unraisable_fault(nullptr);
    }
    return false;
}

}  // namespace kelpie::py
