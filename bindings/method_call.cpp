#include "method_call.hpp"

namespace kelpie::py {

PyResult<ExclusiveBorrow> borrow_receiver(PyObject* self) {
    PyTypeObject* type = require_hdc_client_type();
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type))
        return raise(PyExc_TypeError, "'" + type_name(self) + "' object cannot be converted to 'HdcClient'");
    auto borrow = ExclusiveBorrow::take(reinterpret_cast<HdcClientObject*>(self));
    if (!borrow) return raise(PyExc_RuntimeError, "Already borrowed");
    return std::move(*borrow);
}

}  // namespace kelpie::py
