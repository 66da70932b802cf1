// Python errors inside the module travel as values: a PyResult in the error
// state means the interpreter's error indicator is set and the entry point
// must return NULL to its caller.
#pragma once

#include <Python.h>

#include <expected>
#include <string_view>

namespace kelpie::py {

struct PendingError {};

template <class T>
using PyResult = std::expected<T, PendingError>;

// For an interpreter call that reported failure. Some calls fail without
// setting an exception; the caller would then see a NULL with no error, which
// the interpreter treats as a crash-worthy bug, so a SystemError is set.
std::unexpected<PendingError> pending();

// Sets `type` with a str made from `message` (its one argument) and returns
// the error state. A failure to build the str is an internal fault.
std::unexpected<PendingError> raise(PyObject* type, std::string_view message);

}  // namespace kelpie::py
