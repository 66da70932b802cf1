#include "pending_error.hpp"

#include "fault_boundary.hpp"
#include "py_ref.hpp"

namespace kelpie::py {

std::unexpected<PendingError> pending() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return std::unexpected(PendingError{});
}

std::unexpected<PendingError> raise(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) api_failure();
    PyErr_SetObject(type, text.get());
    return std::unexpected(PendingError{});
}

}  // namespace kelpie::py
