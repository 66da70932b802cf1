// Telling the interpreter running out of memory apart from a fault: an
// output too large to become a str is the caller's MemoryError, with the
// client still in step, while any other failure to build it is a fault.
#pragma once

#include <Python.h>

#include <cstddef>

#include "pending_error.hpp"

namespace kelpie::py {

// Raises kelpie's own MemoryError for a str of `size` bytes.
std::unexpected<PendingError> no_room_for_str(std::size_t size);

// Whether the pending error (left pending) is the interpreter running out of
// memory. Any other error, a SystemError above all, is a fault to report.
bool out_of_memory_pending();

}  // namespace kelpie::py
