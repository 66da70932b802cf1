#include "argument.hpp"

#include "fault_boundary.hpp"
#include "fetched_error.hpp"
#include "py_ref.hpp"

namespace kelpie::py {
namespace {

std::string exception_text(PyObject* exception) {
    PyRef text = PyRef::steal(PyObject_Str(exception));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8) return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    return "<exception str() failed>";
}

}  // namespace

std::unexpected<PendingError> name_argument_error(std::string_view name) {
    FetchedError original = FetchedError::fetch_normalized();
    if (original.empty()) return pending();
    if (original.type() != PyExc_TypeError) {
        std::move(original).restore();
        return std::unexpected(PendingError{});
    }
    PyRef message = from_text("argument '" + std::string(name) + "': " + exception_text(original.value()));
    PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) api_failure();
    if (PyObject* cause = PyException_GetCause(original.value())) PyException_SetCause(replacement.get(), cause);
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return std::unexpected(PendingError{});
}

}  // namespace kelpie::py
