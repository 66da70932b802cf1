// Internal faults: broken invariants or refused resources that no caller can
// handle as an error value. They travel as exceptions to the module's fault
// boundary, which turns them into the interpreter's internal-fault exception.
#pragma once

#include <stdexcept>
#include <string>

namespace kelpie {

class InternalFault : public std::runtime_error {
public:
    explicit InternalFault(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace kelpie
