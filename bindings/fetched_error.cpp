#include "fetched_error.hpp"

namespace kelpie::py {

FetchedError FetchedError::fetch_normalized() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    // Other Python threads may run in this window; the lock is taken back
    // before normalisation, which can run Python code.
    PyEval_RestoreThread(PyEval_SaveThread());
    if (type) PyErr_NormalizeException(&type, &value, &traceback);
    FetchedError error;
    error.type_ = PyRef::steal(type);
    error.value_ = PyRef::steal(value);
    error.traceback_ = PyRef::steal(traceback);
    return error;
}

void FetchedError::restore() && {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

}  // namespace kelpie::py
