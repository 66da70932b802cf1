// A collected output made into its str: ASCII copied, other text decoded
// straight into its final form, from what the check learnt on arrival.
#pragma once

#include "pending_error.hpp"
#include "protocol/output.hpp"
#include "py_ref.hpp"

namespace kelpie::py {

// A collected output, which is used up (its memory given back as it is
// copied); MemoryError (pending) when the interpreter cannot hold it.
PyResult<PyRef> from_output(Output& output);

}  // namespace kelpie::py
