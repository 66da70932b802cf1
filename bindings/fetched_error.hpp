// An exception taken out of the interpreter's error indicator so that the
// module can inspect its type and then re-raise it or replace it.
#pragma once

#include <Python.h>

#include "py_ref.hpp"

namespace kelpie::py {

class FetchedError {
public:
    // Takes the pending exception (the indicator is cleared) and normalises it
    // so that its type is the exception's real class. The interpreter lock is
    // let go for a moment first, the one place where the module releases it.
    static FetchedError fetch_normalized();

    bool empty() const { return !type_; }
    PyObject* type() const { return type_.get(); }
    PyObject* value() const { return value_.get(); }
    // Puts the exception back as the pending one.
    void restore() &&;

private:
    PyRef type_, value_, traceback_;
};

}  // namespace kelpie::py
