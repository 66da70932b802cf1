// The machinery every HdcClient method shares: parse, check the receiver,
// take the object exclusively, convert the arguments in order, run the
// blocking operation with the interpreter lock held, convert its result or
// raise its error, and let go of the object on every path.
//
// A method is a small function handing its parameter list and a lambda over
// the BlockingClient to call_method; the lambda's parameter types choose the
// conversions (std::string, std::optional<std::string>, bool,
// std::vector<std::string>) and its Result<T> the result conversion
// (std::string, std::vector<std::string>, void -> None):
//
//   PyObject* shell(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
//       static constexpr auto params = signature("shell", 1, "command");
//       return call_method(self, params, args, nargsf, kwnames,
//                          [](BlockingClient& c, std::string command) { return c.shell(command); });
//   }
//   // and in the method table:  fastcall_method("shell", shell, "shell($self, command)\n--\n\n...")
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "arg_parser.hpp"
#include "argument.hpp"
#include "blocking.hpp"
#include "borrow.hpp"
#include "client_error.hpp"
#include "convert.hpp"
#include "output_str.hpp"
#include "fault_boundary.hpp"
#include "hdc_client.hpp"
#include "pending_error.hpp"

namespace kelpie::py {

// Steps 2 and 3 of a call: the receiver must be an HdcClient that no other call holds.
PyResult<ExclusiveBorrow> borrow_receiver(PyObject* self);

namespace detail {

template <class F>
struct OperationTraits : OperationTraits<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct OperationTraits<R (C::*)(BlockingClient&, A...) const> {
    using Arguments = std::tuple<std::decay_t<A>...>;
};
template <class C, class R, class... A>
struct OperationTraits<R (C::*)(BlockingClient&, A...)> : OperationTraits<R (C::*)(BlockingClient&, A...) const> {};

template <class T>
bool convert_into(std::optional<T>& out, PyObject* slot, std::string_view name) {
    auto value = convert_argument<T>(slot, name);
    if (!value) return false;
    out.emplace(std::move(*value));
    return true;
}

template <class... Args, std::size_t... I>
PyResult<std::tuple<Args...>> convert_arguments(std::type_identity<std::tuple<Args...>>, const FunctionDescription& function,
                                                Slots slots, std::index_sequence<I...>) {
    std::tuple<std::optional<Args>...> values;
    // Left to right, stopping at the first failure, as the caller wrote them.
    const bool converted = (... && convert_into(std::get<I>(values), slots[I], function.parameters[I]));
    if (!converted) return std::unexpected(PendingError{});
    return std::tuple<Args...>(std::move(*std::get<I>(values))...);
}

inline PyResult<PyRef> to_python(const std::string& text) { return from_text(text); }
inline PyResult<PyRef> to_python(Output& output) { return from_output(output); }
inline PyResult<PyRef> to_python(const std::vector<std::string>& texts) { return from_text_list(texts); }

template <class T>
PyResult<PyRef> convert_result(Result<T>&& result) {
    if (!result) return raise_client_error(result.error());
    if constexpr (std::is_void_v<T>) return none();
    else return to_python(*result);
}

}  // namespace detail

template <std::size_t N, class Operation>
PyObject* call_method(PyObject* self, const Signature<N>& params, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames, Operation operation) {
    using Arguments = typename detail::OperationTraits<Operation>::Arguments;
    static_assert(std::tuple_size_v<Arguments> == N, "one lambda parameter per method parameter");
    return entry_point([&]() -> PyResult<PyRef> {
        const FunctionDescription function = params.description();
        std::array<PyObject*, N> slots{};
        if (auto parsed = parse_vector_arguments(function, args, nargsf, kwnames, slots); !parsed)
            return std::unexpected(parsed.error());
        auto borrow = borrow_receiver(self);
        if (!borrow) return std::unexpected(borrow.error());
        auto values = detail::convert_arguments(std::type_identity<Arguments>{}, function, slots,
                                                std::make_index_sequence<N>{});
        if (!values) return std::unexpected(values.error());
        auto call = [&](auto&&... converted) { return operation(borrow->client(), std::move(converted)...); };
        return detail::convert_result(std::apply(call, std::move(*values)));
    });
}

// For methods without parameters (the interpreter's no-arguments convention).
template <class Operation>
PyObject* call_method(PyObject* self, Operation operation) {
    return entry_point([&]() -> PyResult<PyRef> {
        auto borrow = borrow_receiver(self);
        if (!borrow) return std::unexpected(borrow.error());
        return detail::convert_result(operation(borrow->client()));
    });
}

using FastcallMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoargsMethod = PyObject* (*)(PyObject*, PyObject*);

// Method-table entries; `doc` is "name($self, params)\n--\n\ndocstring" so
// that the interpreter derives the text signature from its first line.
inline PyMethodDef fastcall_method(const char* name, FastcallMethod method, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method)), METH_FASTCALL | METH_KEYWORDS,
            doc};
}
inline PyMethodDef noargs_method(const char* name, NoargsMethod method, const char* doc) {
    return {name, method, METH_NOARGS, doc};
}

}  // namespace kelpie::py
