#include <gtest/gtest.h>

#include "forward_node.hpp"

namespace kelpie {
namespace {

struct NodeCase {
    const char* input;
    const char* printed;  // nullptr: parse fails with `error`
    const char* error;
};

class ForwardNodeParse : public ::testing::TestWithParam<NodeCase> {};

TEST_P(ForwardNodeParse, ParsesOrQuotesOffendingText) {
    const auto& c = GetParam();
    auto node = ForwardNode::parse(c.input);
    if (c.printed) {
        ASSERT_TRUE(node.has_value()) << node.error().message();
        EXPECT_EQ(node->to_string(), c.printed);
    } else {
        ASSERT_FALSE(node.has_value()) << node->to_string();
        EXPECT_EQ(node.error().message(), std::string("Protocol error: ") + c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ForwardNodeParse,
    ::testing::Values(
        NodeCase{"tcp:8080", "tcp:8080", nullptr}, NodeCase{"tcp:+0080", "tcp:80", nullptr},
        NodeCase{"tcp:0", "tcp:0", nullptr}, NodeCase{"tcp:65535", "tcp:65535", nullptr},
        NodeCase{"tcp:00000000000000000000080", "tcp:80", nullptr},
        NodeCase{"tcp:65536", nullptr, "Invalid TCP port: 65536"}, NodeCase{"tcp:", nullptr, "Invalid TCP port: "},
        NodeCase{"tcp:+", nullptr, "Invalid TCP port: +"}, NodeCase{"tcp:-1", nullptr, "Invalid TCP port: -1"},
        NodeCase{"tcp: 80", nullptr, "Invalid TCP port:  80"}, NodeCase{"tcp:80 ", nullptr, "Invalid TCP port: 80 "},
        NodeCase{"tcp:++1", nullptr, "Invalid TCP port: ++1"},
        NodeCase{"tcp:99999999999999999999", nullptr, "Invalid TCP port: 99999999999999999999"},
        NodeCase{"TCP:80", nullptr, "Invalid forward node format: TCP:80"},
        NodeCase{"abc", nullptr, "Invalid forward node format: abc"},
        NodeCase{"", nullptr, "Invalid forward node format: "},
        NodeCase{"tcp8080", nullptr, "Invalid forward node format: tcp8080"},
        NodeCase{"localfilesystem:", "localfilesystem:", nullptr},
        NodeCase{"localreserved:x", "localreserved:x", nullptr},
        NodeCase{"localabstract:my sock", "localabstract:my sock", nullptr},
        NodeCase{"localabstract", nullptr, "Invalid forward node format: localabstract"},
        NodeCase{"dev:", "dev:", nullptr}, NodeCase{"dev:/dev/tty@1", "dev:/dev/tty@1", nullptr},
        NodeCase{"jdwp:1234", "jdwp:1234", nullptr}, NodeCase{"jdwp:4294967295", "jdwp:4294967295", nullptr},
        NodeCase{"jdwp:", nullptr, "Invalid JDWP pid: "},
        NodeCase{"jdwp:4294967296", nullptr, "Invalid JDWP pid: 4294967296"},
        NodeCase{"jdwp1", nullptr, "Invalid forward node format: jdwp1"},
        NodeCase{"ark:12@34@dbg", "ark:12@34@dbg", nullptr}, NodeCase{"ark:12@34@", "ark:12@34@", nullptr},
        NodeCase{"ark:+01@0@x y", "ark:1@0@x y", nullptr},
        NodeCase{"ark:", nullptr, "Invalid ark format: expected pid@tid@debugger, got "},
        NodeCase{"ark:@@", nullptr, "Invalid pid in ark: "},
        NodeCase{"ark:12@34", nullptr, "Invalid ark format: expected pid@tid@debugger, got 12@34"},
        NodeCase{"ark:1@2@3@4", nullptr, "Invalid ark format: expected pid@tid@debugger, got 1@2@3@4"},
        NodeCase{"ark:x@y@d", nullptr, "Invalid pid in ark: x"},
        NodeCase{"ark:1@y@d", nullptr, "Invalid tid in ark: y"},
        NodeCase{"ark:1@4294967296@d", nullptr, "Invalid tid in ark: 4294967296"}));

TEST(ForwardNodeRoundTrip, PrintedFormParsesBackExceptArkWithAt) {
    for (const char* text : {"tcp:1", "localfilesystem:a b", "localreserved:", "localabstract:@x", "dev:d",
                             "jdwp:0", "ark:1@2@dbg"}) {
        auto node = ForwardNode::parse(text);
        ASSERT_TRUE(node.has_value()) << text;
        auto again = ForwardNode::parse(node->to_string());
        ASSERT_TRUE(again.has_value()) << text;
        EXPECT_EQ(*again, *node) << text;
    }
    const ForwardNode ark(ForwardNode::Ark{1, 2, "a@b"});
    EXPECT_FALSE(ForwardNode::parse(ark.to_string()).has_value());
}

}  // namespace
}  // namespace kelpie
