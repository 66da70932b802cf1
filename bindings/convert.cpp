#include "convert.hpp"

#include <cstdint>
#include <cstring>

#include "error.hpp"
#include "fault_boundary.hpp"
#include "fetched_error.hpp"

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

namespace {

// Below this, the general path is as fast and simpler.
constexpr std::size_t kBulkText = 64 * 1024;
// A large output is copied into its str a slice at a time.
constexpr std::size_t kSlice = 4u << 20;

// Hands `output` to `move(from, start, end)` from its end, a slice at a time
// (each starting on a character), and gives each slice's memory back as soon
// as it is moved: the str's pages come into use as the output's go, so the
// text is held about once, not twice, while the str is made.
template <typename Move>
void move_from_end(Output& output, Move&& move) {
    const auto* from = reinterpret_cast<const std::uint8_t*>(output.view().data());
    for (std::size_t end = output.size(); end > 0;) {
        std::size_t start = end > kSlice ? end - kSlice : 0;
        while ((from[start] & 0xC0) == 0x80) --start;
        move(from, start, end);
        output.give_back_from(start);
        end = start;
    }
}

// Decodes `output` into the characters at `to`, from the end.
template <typename Char>
void decode_from_end(Output& output, Char* to) {
    Char* at = to + output.shape().chars;
    move_from_end(output, [&](const std::uint8_t* from, std::size_t start, std::size_t end) {
        at = decode_utf8_backward(from + start, from + end, at);
    });
}

#ifdef PYPY_VERSION
// Up to this many characters, text beyond Latin-1 is made in the four-byte
// form; beyond it, in the narrowest that holds it.
constexpr std::size_t kWideChars = 96u << 20;
#endif

// The widest character the str of a non-ASCII output is made for. CPython
// keeps a str in the narrowest form that holds its characters and compares
// forms, so it gets exactly that. PyPy turns a str made here into its own
// UTF-8 form when it first sees it, and does that faster from four bytes a
// character than from two (171 against 140 MB/s in a loop of 64 MiB calls of
// mixed text), while Latin-1 text is as fast from its one-byte form. But the
// form made here lives as long as the str, beside PyPy's copy, and on a
// 32-bit process address space runs out first: a large output takes the
// narrowest form, which fits furthest.
Py_UCS4 str_max_char(const TextShape& shape) {
#ifdef PYPY_VERSION
    if (shape.max_char > 0xFF && shape.chars <= kWideChars) return 0x10FFFF;
#endif
    return shape.max_char;
}

#ifdef PYPY_VERSION
// PyPy keeps the form made here until the str dies at a major collection,
// and its collector does not count it, so a loop of large calls would pile
// such forms up far past what the collector believes it holds: tell it.
// Only a hint: if it cannot be given, nothing is lost but the hint.
void tell_collector(std::size_t bytes) {
    if (bytes < kBulkText) return;
    PyRef pypy = PyRef::steal(PyImport_ImportModule("__pypy__"));
    PyRef told = pypy ? PyRef::steal(PyObject_CallMethod(pypy.get(), "add_memory_pressure", "n",
                                                         static_cast<Py_ssize_t>(bytes)))
                      : PyRef();
    if (!told) PyErr_Clear();
}
#endif

// A str of `output`, which is not all ASCII, made from what the check
// learnt while the text arrived: its length and width are known, so it is
// decoded in one pass straight into its final form, with no second check.
PyObject* new_str(Output& output) {
    PyObject* object = PyUnicode_New(static_cast<Py_ssize_t>(output.shape().chars), str_max_char(output.shape()));
    if (!object) return nullptr;
    switch (PyUnicode_KIND(object)) {
        case PyUnicode_1BYTE_KIND: decode_from_end(output, PyUnicode_1BYTE_DATA(object)); break;
        case PyUnicode_2BYTE_KIND: decode_from_end(output, PyUnicode_2BYTE_DATA(object)); break;
        default: decode_from_end(output, PyUnicode_4BYTE_DATA(object)); break;
    }
#ifdef PYPY_VERSION
    tell_collector(static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)) * PyUnicode_KIND(object));
#endif
    return object;
}

// A str holding `output`, which is all ASCII, in its one-byte form: the
// text is its own one-byte form, so each slice is one copy.
PyObject* new_ascii_str(Output& output) {
    PyObject* object = PyUnicode_New(static_cast<Py_ssize_t>(output.size()), 127);
    if (!object) return nullptr;
    Py_UCS1* to = PyUnicode_1BYTE_DATA(object);
    move_from_end(output, [to](const std::uint8_t* from, std::size_t start, std::size_t end) {
        std::memcpy(to + start, from + start, end - start);
    });
    return object;
}

// An output too large for the interpreter is the caller's MemoryError, not
// a fault: the connection is in step, the client usable.
std::unexpected<PendingError> no_room_for_str(std::size_t size) {
    return raise(PyExc_MemoryError,
                 ClientError::out_of_memory("no room for a str of " + std::to_string(size) + " bytes").message());
}

#ifdef PYPY_VERSION
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

}  // namespace

PyResult<PyRef> from_output(Output& output) {
    if (output.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return no_room_for_str(output.size());
    const std::string_view text = output.view();
    const std::size_t size = text.size();  // the view does not outlive a bulk copy
    // Large ASCII output (the usual shell and log text) is copied straight
    // into a new one-byte string, and other text decoded straight into its
    // final form: the interpreter's UTF-8 decoder would check the bytes
    // again, which the collection already did.
    PyObject* object = !output.ascii() ? new_str(output)
                       : size >= kBulkText
                           ? new_ascii_str(output)
                           : PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(size));
    if (object) return PyRef::steal(object);
    if (!out_of_memory_pending()) api_failure();
    PyErr_Clear();
    return no_room_for_str(size);
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
