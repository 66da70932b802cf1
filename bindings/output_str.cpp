#include "output_str.hpp"

#include <cassert>
#include <cstdint>
#include <cstring>

#include "fault_boundary.hpp"
#include "memory_refusal.hpp"
#include "output_memory.hpp"
#include "protocol/utf8.hpp"

namespace kelpie::py {
namespace {

// Below this, the general path is as fast and simpler.
constexpr std::size_t kBulkText = 64 * 1024;
// A large output is copied into its str a slice at a time.
constexpr std::size_t kSlice = 4u << 20;

// Decodes `output` into the characters at `to`, from the end: the count
// measured on arrival places the last one, and the first must then land
// exactly at `to`.
template <typename Char>
void decode_from_end(Output& output, Char* to) {
    Char* at = to + output.shape().chars;
    output.move_out_from_end(kSlice, [&](const std::uint8_t* from, std::size_t start, std::size_t end) {
        at = decode_utf8_backward(from + start, from + end, at);
    });
    assert(at == to);
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

#ifdef PYPY_VERSION
// PyPy builds its own str of one made here when the interpreter first takes
// it. Left to happen after the call returns, a failure there (memory running
// out) strands the str made here, which is never freed, and raises a
// MemoryError with no text. An item fetched back from a list is built inside
// that call, where a failure is an error like any other: so the str is put in
// a list and fetched back while this code still holds it, and on failure it
// can be given back. (Handing the str itself to a call does not do: PyPy
// builds the arguments outside its error handling, and a failure there ends
// the process.) The list and its index are made once and kept for the
// process. Only a large output's str goes this way: for a small one the
// three calls would cost about 3% of the call's CPU time, and PyPy failing to
// convert a few kilobytes means the process is out of memory anyway.
// False, with the error pending, when PyPy could not build its str.
bool taken_in(PyObject* object) {
    static PyObject* list = nullptr;
    static PyObject* first = nullptr;
    if (!list) list = PyList_New(1);
    if (!first) first = PyLong_FromLong(0);
    if (!list || !first) return false;
    Py_INCREF(object);
    PyList_SetItem(list, 0, object);
    const bool taken = static_cast<bool>(PyRef::steal(PyObject_GetItem(list, first)));
    // The list lets go of the str at once (keeping a failure's error).
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    if (!taken) PyErr_Fetch(&type, &value, &traceback);
    Py_INCREF(Py_None);
    PyList_SetItem(list, 0, Py_None);
    if (!taken) PyErr_Restore(type, value, traceback);
    return taken;
}
#endif

// A str of `output`, which is not all ASCII, made from what the check
// learnt while the text arrived: its length and width are known, so it is
// decoded in one pass straight into its final form, with no second check.
PyObject* new_str(Output& output) {
    [[maybe_unused]] const std::size_t output_bytes = output.size();  // the decode gives the output back
    PyObject* object = PyUnicode_New(static_cast<Py_ssize_t>(output.shape().chars), str_max_char(output.shape()));
    if (!object) return nullptr;
    switch (PyUnicode_KIND(object)) {
        case PyUnicode_1BYTE_KIND: decode_from_end(output, PyUnicode_1BYTE_DATA(object)); break;
        case PyUnicode_2BYTE_KIND: decode_from_end(output, PyUnicode_2BYTE_DATA(object)); break;
        default: decode_from_end(output, PyUnicode_4BYTE_DATA(object)); break;
    }
#ifdef PYPY_VERSION
    tell_collector(static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)) * PyUnicode_KIND(object));
    if (output_bytes >= kBulkText && !taken_in(object)) {
        Py_DECREF(object);
        return nullptr;
    }
#endif
    return object;
}

// A str holding `output`, which is all ASCII, in its one-byte form: the
// text is its own one-byte form, so each slice is one copy.
PyObject* new_ascii_str(Output& output) {
    PyObject* object = PyUnicode_New(static_cast<Py_ssize_t>(output.size()), 127);
    if (!object) return nullptr;
    Py_UCS1* to = PyUnicode_1BYTE_DATA(object);
    output.move_out_from_end(kSlice, [to](const std::uint8_t* from, std::size_t start, std::size_t end) {
        std::memcpy(to + start, from + start, end - start);
    });
    return object;
}

}  // namespace

PyResult<PyRef> from_output(Output& output) {
    if (output.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return no_room_for_str(output.size());
    const std::string_view text = output.view();
    const std::size_t size = text.size();  // the view does not outlive a bulk copy
    // ASCII text received straight into its str needs nothing more.
    if (received_into_str(output)) {
        if (PyObject* received = take_received_str(output)) return PyRef::steal(received);
        return no_room_for_str(size);
    }
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


}  // namespace kelpie::py
