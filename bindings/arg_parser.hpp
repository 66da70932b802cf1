// One table-driven parser for the constructor and every method: it matches
// positional and keyword arguments to the parameters of a description and
// reports misuse with Python's own wording, before anything is converted or
// sent to the server.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "arg_messages.hpp"
#include "pending_error.hpp"

namespace kelpie::py {

// A parameter list with static storage, so that a method can declare its own
// as a constexpr local: `static constexpr auto params = signature("shell", 1, "command");`
template <std::size_t N>
struct Signature {
    std::string_view name;
    std::size_t required;
    std::array<std::string_view, N> parameters;

    constexpr FunctionDescription description() const { return {name, parameters, required}; }
};

template <class... Names>
constexpr Signature<sizeof...(Names)> signature(std::string_view name, std::size_t required, Names... parameters) {
    return {name, required, {std::string_view(parameters)...}};
}

// One borrowed reference per parameter, null where the caller gave nothing.
// The references stay valid for the call because the caller's argument
// array, tuple or dictionary owns them.
using Slots = std::span<PyObject*>;

// The vector calling convention: positional arguments in `args` (count in
// `nargsf`), then one value per name of `kwnames` (a tuple, or null).
PyResult<void> parse_vector_arguments(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargsf,
                                      PyObject* kwnames, Slots slots);

// The constructor's convention: a positional tuple and a keyword dictionary (or null).
PyResult<void> parse_tuple_arguments(const FunctionDescription& function, PyObject* args, PyObject* kwargs,
                                     Slots slots);

}  // namespace kelpie::py
