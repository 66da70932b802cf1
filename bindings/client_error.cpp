#include "client_error.hpp"

#include <Python.h>

namespace kelpie::py {

std::unexpected<PendingError> raise_client_error(const ClientError& error) {
    // Memory running out is not a failure of the exchange: the interpreter's
    // own exception says so, and callers may already handle it.
    if (error.kind() == ErrorKind::OutOfMemory) return raise(PyExc_MemoryError, error.message());
    return raise(PyExc_RuntimeError, error.message());
}

}  // namespace kelpie::py
