#include "arg_parser.hpp"

#include <string>
#include <vector>

#include "py_ref.hpp"

namespace kelpie::py {
namespace {

PyResult<void> check_positional_count(const FunctionDescription& function, std::size_t given) {
    if (given <= function.parameters.size()) return {};
    return raise(PyExc_TypeError, too_many_positional_message(function, given));
}

// The keyword as the caller wrote it. A keyword with no UTF-8 form (a lone
// surrogate) cannot name a parameter; it is shown with escapes instead.
std::string keyword_text(PyObject* keyword) {
    PyRef text = PyUnicode_Check(keyword) ? PyRef::borrow(keyword) : PyRef::steal(PyObject_Str(keyword));
    if (text) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) return std::string(utf8, size);
        PyErr_Clear();
        PyRef escaped = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
        char* bytes = nullptr;
        if (escaped && PyBytes_AsStringAndSize(escaped.get(), &bytes, &size) == 0) return std::string(bytes, size);
    }
    PyErr_Clear();
    return "?";
}

PyResult<void> assign_keyword(const FunctionDescription& function, PyObject* keyword, PyObject* value, Slots slots) {
    const std::string name = keyword_text(keyword);
    for (std::size_t i = 0; i < function.parameters.size(); ++i) {
        if (function.parameters[i] != name) continue;
        if (slots[i]) return raise(PyExc_TypeError, multiple_values_message(function, function.parameters[i]));
        slots[i] = value;
        return {};
    }
    return raise(PyExc_TypeError, unexpected_keyword_message(function, name));
}

PyResult<void> check_required(const FunctionDescription& function, Slots slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < function.required; ++i)
        if (!slots[i]) missing.push_back(function.parameters[i]);
    if (missing.empty()) return {};
    return raise(PyExc_TypeError, missing_required_message(function, missing));
}

}  // namespace

PyResult<void> parse_vector_arguments(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargsf,
                                      PyObject* kwnames, Slots slots) {
    const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)));
    if (auto ok = check_positional_count(function, given); !ok) return ok;
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
    const Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
    if (keywords < 0) return pending();
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (!keyword) return pending();
        if (auto ok = assign_keyword(function, keyword, args[given + static_cast<std::size_t>(k)], slots); !ok)
            return ok;
    }
    return check_required(function, slots);
}

PyResult<void> parse_tuple_arguments(const FunctionDescription& function, PyObject* args, PyObject* kwargs,
                                     Slots slots) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) return pending();
    if (auto ok = check_positional_count(function, static_cast<std::size_t>(given)); !ok) return ok;
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
        if (!slots[static_cast<std::size_t>(i)]) return pending();
    }
    if (kwargs) {
        Py_ssize_t position = 0;
        PyObject *keyword, *value;
        while (PyDict_Next(kwargs, &position, &keyword, &value))
            if (auto ok = assign_keyword(function, keyword, value, slots); !ok) return ok;
    }
    return check_required(function, slots);
}

}  // namespace kelpie::py
