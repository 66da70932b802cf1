// The HdcClient class: its instance layout, its creation with
// PyType_FromSpec, its constructor and its deallocation.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "blocking.hpp"
#include "pending_error.hpp"
#include "target_names.hpp"

namespace kelpie::py {

// Laid out by hand because the interpreter allocates the memory: the client
// is constructed in place once the object exists and destroyed explicitly.
struct HdcClientObject {
    PyObject_HEAD
    alignas(BlockingClient) std::byte client_storage[sizeof(BlockingClient)];
    alignas(TargetNames) std::byte names_storage[sizeof(TargetNames)];
    // 0 while free, -1 while a method call holds the object.
    std::atomic<std::int32_t> borrow_flag;

    BlockingClient& client() { return *std::launder(reinterpret_cast<BlockingClient*>(client_storage)); }
    TargetNames& names() { return *std::launder(reinterpret_cast<TargetNames*>(names_storage)); }
};

// The class object, created on first need and kept for the life of the
// process; the error state means the interpreter's exception is pending.
PyResult<PyTypeObject*> hdc_client_type();

// For callers that cannot proceed without the class (a method checking its
// receiver): a failure to create it is an internal fault.
PyTypeObject* require_hdc_client_type();

}  // namespace kelpie::py
