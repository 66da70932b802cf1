// One end of a port mapping, in the server's "kind:detail" syntax.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "error.hpp"

namespace kelpie {

class ForwardNode {
public:
    struct Tcp { std::uint16_t port; bool operator==(const Tcp&) const = default; };
    struct LocalFilesystem { std::string name; bool operator==(const LocalFilesystem&) const = default; };
    struct LocalReserved { std::string name; bool operator==(const LocalReserved&) const = default; };
    struct LocalAbstract { std::string name; bool operator==(const LocalAbstract&) const = default; };
    struct Dev { std::string name; bool operator==(const Dev&) const = default; };
    struct Jdwp { std::uint32_t pid; bool operator==(const Jdwp&) const = default; };
    struct Ark {
        std::uint32_t pid;
        std::uint32_t tid;
        std::string debugger;
        bool operator==(const Ark&) const = default;
    };
    using Value = std::variant<Tcp, LocalFilesystem, LocalReserved, LocalAbstract, Dev, Jdwp, Ark>;

    explicit ForwardNode(Value v) : value_(std::move(v)) {}

    // Every failure is a Protocol error quoting the offending text unchanged.
    static Result<ForwardNode> parse(std::string_view text);
    std::string to_string() const;

    const Value& value() const { return value_; }
    bool operator==(const ForwardNode&) const = default;

private:
    Value value_;
};

}  // namespace kelpie
