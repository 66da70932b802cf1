#include "convert.hpp"

#include "fault_boundary.hpp"

namespace kelpie::py {
namespace {

std::unexpected<PendingError> refuse(PyObject* object, std::string_view target) {
    return raise(PyExc_TypeError, "'" + type_name(object) + "' object cannot be converted to '" + std::string(target) + "'");
}

std::optional<std::string> utf8_of(PyObject* text) {
    if (!PyUnicode_CheckExact(text)) {
        // PyPy reports the UTF-8 size of a str subclass from its __len__,
        // which the subclass may override: a larger value would read past
        // the buffer. The encoded copy carries its own true size.
        PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(text));
        if (!bytes) return std::nullopt;
        return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return std::nullopt;
    return std::string(utf8, static_cast<std::size_t>(size));
}

// Reads a str attribute of `object`; none (with no error pending) when absent or not a str.
std::optional<std::string> text_attribute(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    std::optional<std::string> text;
    if (value && PyUnicode_Check(value.get())) text = utf8_of(value.get());
    PyErr_Clear();
    return text;
}

// numpy.bool_ (numpy.bool since numpy 2) is the one non-bool accepted as a
// flag, so that values computed with numpy can be passed straight through.
bool is_numpy_bool(PyObject* object) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    const auto name = text_attribute(type, "__name__");
    if (!name || (*name != "bool_" && *name != "bool")) return false;
    return text_attribute(type, "__module__") == "numpy";
}

PyResult<bool> numpy_bool_value(PyObject* object) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__bool__"));
    if (!method) {
        PyErr_Clear();
        return raise(PyExc_TypeError,
                     "object of type '" + type_name(object) + "' does not define a '__bool__' conversion");
    }
    PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), object, nullptr));
    if (!result) return pending();
    if (!PyBool_Check(result.get())) return refuse(result.get(), "PyBool");
    return result.get() == Py_True;
}

}  // namespace

std::string type_name(PyObject* object) {
    return text_attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__")
        .value_or("<failed to extract type name>");
}

PyResult<std::string> to_text(PyObject* object) {
    if (!PyUnicode_Check(object)) return refuse(object, "PyString");
    // A str holding a lone surrogate has no UTF-8 form; the interpreter's
    // encoding error is the most precise report of that and is kept.
    if (auto text = utf8_of(object)) return std::move(*text);
    return pending();
}

PyResult<std::optional<std::string>> to_optional_text(PyObject* object) {
    if (object == Py_None) return std::optional<std::string>();
    return to_text(object);
}

PyResult<bool> to_flag(PyObject* object) {
    if (PyBool_Check(object)) return object == Py_True;
    if (is_numpy_bool(object)) return numpy_bool_value(object);
    return refuse(object, "PyBool");
}

PyResult<std::vector<std::string>> to_text_list(PyObject* object) {
    if (PyUnicode_Check(object)) return raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) return refuse(object, "Sequence");
    std::vector<std::string> texts;
    // The length is only a hint; a sequence that cannot tell it may still iterate.
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) PyErr_Clear();
    else texts.reserve(static_cast<std::size_t>(hint));
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return pending();
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        auto text = to_text(item.get());
        if (!text) return std::unexpected(text.error());
        texts.push_back(std::move(*text));
    }
    if (PyErr_Occurred()) return pending();
    return texts;
}

PyRef from_text(std::string_view text) {
    PyRef object = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!object) api_failure();
    return object;
}

PyRef from_text_list(const std::vector<std::string>& texts) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) api_failure();
    for (std::size_t i = 0; i < texts.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), from_text(texts[i]).release());
    return list;
}

PyRef none() {
    return PyRef::borrow(Py_None);
}

}  // namespace kelpie::py
