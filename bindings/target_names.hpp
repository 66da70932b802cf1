// The str objects of the last target list a client returned.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "py_ref.hpp"

namespace kelpie::py {

// While a client's target names stay the same, their str objects are handed
// out again in each new list: on PyPy a str made from C costs more than the
// rest of a list_targets round trip, and a str cannot change, so sharing one
// is invisible to the caller. Only short lists are kept.
class TargetNames {
public:
    // A new list of `names`.
    PyRef to_list(const std::vector<std::string>& names);

private:
    static constexpr std::size_t kMaxKept = 64;

    std::vector<std::string> texts_;
    std::vector<PyRef> objects_;
};

}  // namespace kelpie::py
