// The methods of HdcClient, in the order the class lists them.
#pragma once

#include <Python.h>

namespace kelpie::py {

// A table ending in the interpreter's all-zero sentinel entry.
PyMethodDef* hdc_client_methods();

}  // namespace kelpie::py
