#include "memory_refusal.hpp"

#include <string_view>

#include "error.hpp"
#include "fetched_error.hpp"

namespace kelpie::py {

// An output too large for the interpreter is the caller's MemoryError, not
// a fault: the connection is in step, the client usable.
std::unexpected<PendingError> no_room_for_str(std::size_t size) {
    return raise(PyExc_MemoryError,
                 ClientError::out_of_memory("no room for a str of " + std::to_string(size) + " bytes").message());
}

#ifdef PYPY_VERSION
namespace {

bool is_memory_error(PyObject* exception) {
    return exception && PyErr_GivenExceptionMatches(exception, PyExc_MemoryError);
}

// PyPy reports an allocation that fails inside a C-API call as a SystemError
// standing for the MemoryError: 7.3.11 gives it no cause or context, only the
// MemoryError's repr as its text ("<MemoryError object at 0x...>").
bool stands_for_memory_error(PyObject* system_error) {
    PyRef cause = PyRef::steal(PyException_GetCause(system_error));
    PyRef context = PyRef::steal(PyException_GetContext(system_error));
    if (is_memory_error(cause.get()) || is_memory_error(context.get())) return true;
    PyRef text = PyRef::steal(PyObject_Str(system_error));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) PyErr_Clear();
    return utf8 && std::string_view(utf8).starts_with("<MemoryError object at ");
}

}  // namespace
#endif

// Whether the pending error (left pending) is the interpreter running out of
// memory. Any other error, a SystemError above all, is a fault to report.
bool out_of_memory_pending() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return true;
#ifdef PYPY_VERSION
    if (!PyErr_ExceptionMatches(PyExc_SystemError)) return false;
    FetchedError error = FetchedError::fetch_normalized();
    const bool memory = stands_for_memory_error(error.value());
    std::move(error).restore();
    return memory;
#else
    return false;
#endif
}

}  // namespace kelpie::py
