// Conversions between interpreter objects and the client's values (a
// collected output has its own, in output_str.hpp). Argument
// conversions report refusals as TypeError (wrapped with the parameter's
// name by the caller); result conversions treat a failure to build the
// object as an internal fault.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pending_error.hpp"
#include "py_ref.hpp"

namespace kelpie::py {

// The object's type's __qualname__, as used in conversion messages.
std::string type_name(PyObject* object);

PyResult<std::string> to_text(PyObject* object);
// None means no text.
PyResult<std::optional<std::string>> to_optional_text(PyObject* object);
// A bool, or numpy's bool scalar.
PyResult<bool> to_flag(PyObject* object);
// Any sequence but a str, whose items are all str.
PyResult<std::vector<std::string>> to_text_list(PyObject* object);

PyRef from_text(std::string_view text);
PyRef from_text_list(const std::vector<std::string>& texts);
PyRef none();

}  // namespace kelpie::py
