#include "output_memory.hpp"

#include <algorithm>
#include <memory>

#include "protocol/kept_mapping.hpp"

namespace kelpie::py {
namespace {

#ifndef PYPY_VERSION
// The blocks of this memory are the one-byte data of new strs, the str
// itself the block's owner: ASCII text received into one is already the
// str to return, once trimmed. CPython resizes a fresh str in place with
// realloc, and glibc serves a block this large with a mapping of its own
// (its threshold for that never rises past 32 MiB on a 64-bit process), so
// growing and trimming remap pages rather than copy bytes; the str's first
// size is the last output's and some, its pages faulted in only as text
// lands in them. Called with the interpreter lock held, as every kelpie
// call runs.
class StrMemory final : public BufferMemory {
public:
    Block allocate(std::size_t capacity) override {
        capacity = std::max({capacity, last_ + last_ / 8 + kSlack, kFirst});
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127);
        if (!str) {
            PyErr_Clear();  // the caller's out-of-memory path takes over
            return {};
        }
        return {PyUnicode_1BYTE_DATA(str), capacity, str};
    }

    bool resize(Block& block, std::size_t capacity, std::size_t keep) override {
        static_cast<void>(keep);  // realloc keeps what still fits
        capacity = std::max<std::size_t>(capacity, 1);  // a str of none would be the shared empty one
        if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return false;
        auto* str = static_cast<PyObject*>(block.owner);
        if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(capacity)) < 0) {
            PyErr_Clear();  // the str is as it was
            return false;
        }
        if (capacity < block.capacity) last_ = capacity;
        block = {PyUnicode_1BYTE_DATA(str), capacity, str};
        return true;
    }

    void release(Block& block) noexcept override {
        Py_XDECREF(static_cast<PyObject*>(block.owner));
        block = {};
    }

private:
    static constexpr std::size_t kFirst = 32u << 20;
    static constexpr std::size_t kSlack = 1u << 20;
    std::size_t last_ = 0;  // the last output's size
};
#endif

}  // namespace

TextMemory output_memory() {
#ifdef PYPY_VERSION
    auto kept = std::make_shared<KeptMapping>();
    return {kept, kept};
#else
    return {std::make_shared<StrMemory>(), std::make_shared<KeptMapping>()};
#endif
}

bool received_into_str(const Output& output) {
#ifdef PYPY_VERSION
    static_cast<void>(output);
    return false;
#else
    return output.ascii() && dynamic_cast<StrMemory*>(output.memory()) != nullptr;
#endif
}

PyObject* take_received_str(Output& output) {
    const std::size_t size = output.size();
    BufferMemory::Block block = output.take_block();
    auto* str = static_cast<PyObject*>(block.owner);
    if (block.capacity != size && PyUnicode_Resize(&str, static_cast<Py_ssize_t>(size)) < 0) {
        PyErr_Clear();
        Py_DECREF(str);
        return nullptr;
    }
    return str;
}

}  // namespace kelpie::py
