#include "client_error.hpp"

#include <Python.h>

namespace kelpie::py {

std::unexpected<PendingError> raise_client_error(const ClientError& error) {
    return raise(PyExc_RuntimeError, error.message());
}

}  // namespace kelpie::py
