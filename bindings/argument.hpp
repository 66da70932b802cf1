// Conversion of one parsed argument to the type its operation takes, with
// the parameter's name put in front of a TypeError's message.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert.hpp"
#include "pending_error.hpp"

namespace kelpie::py {

template <class T>
struct ArgumentConverter;  // defined for each type an operation may take

template <>
struct ArgumentConverter<std::string> {
    static PyResult<std::string> convert(PyObject* o) { return to_text(o); }
};
template <>
struct ArgumentConverter<std::optional<std::string>> {
    static PyResult<std::optional<std::string>> convert(PyObject* o) { return to_optional_text(o); }
};
template <>
struct ArgumentConverter<bool> {
    static PyResult<bool> convert(PyObject* o) { return to_flag(o); }
};
template <>
struct ArgumentConverter<std::vector<std::string>> {
    static PyResult<std::vector<std::string>> convert(PyObject* o) { return to_text_list(o); }
};

// Replaces a pending TypeError (exactly that class) by one whose message is
// "argument '{name}': " and the original message, keeping the original's
// cause; any other exception stays as it is.
std::unexpected<PendingError> name_argument_error(std::string_view name);

// An absent (optional) argument takes the type's empty value: false for a flag.
template <class T>
PyResult<T> convert_argument(PyObject* slot, std::string_view name) {
    if (!slot) return T{};
    auto value = ArgumentConverter<T>::convert(slot);
    if (!value) return name_argument_error(name);
    return value;
}

}  // namespace kelpie::py
