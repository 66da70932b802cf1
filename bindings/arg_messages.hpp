// The texts of argument-parsing errors. Kept free of the interpreter so the
// wording can be checked in isolation; callers must match Python's own
// phrasing closely because users compare these messages.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace kelpie::py {

struct FunctionDescription {
    std::string_view name;  // "__new__" for the constructor
    std::span<const std::string_view> parameters;
    std::size_t required;  // the leading parameters that must be given
};

std::string too_many_positional_message(const FunctionDescription& function, std::size_t given);
std::string unexpected_keyword_message(const FunctionDescription& function, std::string_view keyword);
std::string multiple_values_message(const FunctionDescription& function, std::string_view parameter);
std::string missing_required_message(const FunctionDescription& function, std::span<const std::string_view> missing);

}  // namespace kelpie::py
