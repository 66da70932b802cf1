// Exclusive use of an HdcClient for the length of one method call. The
// interpreter lock alone does not give it: argument conversion can run the
// caller's Python code, which may call back into the same object.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

#include "hdc_client.hpp"

namespace kelpie::py {

class ExclusiveBorrow {
public:
    // None when another call holds the object.
    static std::optional<ExclusiveBorrow> take(HdcClientObject* object) {
        std::int32_t expected = 0;
        if (!object->borrow_flag.compare_exchange_strong(expected, -1, std::memory_order_acquire)) return std::nullopt;
        return ExclusiveBorrow(object);
    }

    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (!object_) return;
        object_->borrow_flag.store(0, std::memory_order_release);
        Py_DECREF(reinterpret_cast<PyObject*>(object_));
    }

    BlockingClient& client() const { return object_->client(); }
    TargetNames& names() const { return object_->names(); }

private:
    // Holds a reference too, so the object outlives the call whatever the
    // caller's code does with its own references meanwhile.
    explicit ExclusiveBorrow(HdcClientObject* object) : object_(object) {
        Py_INCREF(reinterpret_cast<PyObject*>(object_));
    }
    HdcClientObject* object_;
};

}  // namespace kelpie::py
