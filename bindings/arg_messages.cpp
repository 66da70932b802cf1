#include "arg_messages.hpp"

namespace kelpie::py {
namespace {

std::string qualified(const FunctionDescription& function) {
    return "HdcClient." + std::string(function.name) + "()";
}

std::string quoted(std::string_view name) {
    return "'" + std::string(name) + "'";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(std::span<const std::string_view> names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += quoted(names[i]);
    }
    return out;
}

}  // namespace

std::string too_many_positional_message(const FunctionDescription& function, std::size_t given) {
    const std::string total = std::to_string(function.parameters.size());
    const std::string accepted = function.required == function.parameters.size()
                                     ? total
                                     : "from " + std::to_string(function.required) + " to " + total;
    return qualified(function) + " takes " + accepted + " positional arguments but " + std::to_string(given) +
           (given == 1 ? " was" : " were") + " given";
}

std::string unexpected_keyword_message(const FunctionDescription& function, std::string_view keyword) {
    return qualified(function) + " got an unexpected keyword argument " + quoted(keyword);
}

std::string multiple_values_message(const FunctionDescription& function, std::string_view parameter) {
    return qualified(function) + " got multiple values for argument " + quoted(parameter);
}

std::string missing_required_message(const FunctionDescription& function, std::span<const std::string_view> missing) {
    return qualified(function) + " missing " + std::to_string(missing.size()) + " required positional " +
           (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing);
}

}  // namespace kelpie::py
