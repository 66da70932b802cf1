#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "net/address.hpp"

namespace kelpie {
namespace {

struct NumericCase {
    const char* text;
    int family;  // 0: not a numeric address
    std::uint16_t port;
};

class NumericAddressTest : public ::testing::TestWithParam<NumericCase> {};

TEST_P(NumericAddressTest, Parses) {
    const auto& c = GetParam();
    const auto a = parse_numeric_address(c.text);
    if (c.family == 0) {
        EXPECT_FALSE(a) << c.text;
        return;
    }
    ASSERT_TRUE(a) << c.text;
    EXPECT_EQ(a->storage.ss_family, c.family);
    if (c.family == AF_INET) {
        const auto* sa = reinterpret_cast<const sockaddr_in*>(&a->storage);
        EXPECT_EQ(a->length, sizeof(sockaddr_in));
        EXPECT_EQ(ntohs(sa->sin_port), c.port);
        EXPECT_EQ(ntohl(sa->sin_addr.s_addr), 0x7F000001u);
    } else {
        const auto* sa = reinterpret_cast<const sockaddr_in6*>(&a->storage);
        EXPECT_EQ(a->length, sizeof(sockaddr_in6));
        EXPECT_EQ(ntohs(sa->sin6_port), c.port);
        EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&sa->sin6_addr));
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, NumericAddressTest,
                         ::testing::Values(NumericCase{"127.0.0.1:80", AF_INET, 80},
                                           NumericCase{"127.0.0.1:0", AF_INET, 0},
                                           NumericCase{"127.0.0.1:65535", AF_INET, 65535},
                                           NumericCase{"[::1]:80", AF_INET6, 80},
                                           NumericCase{"localhost:80", 0, 0}, NumericCase{"127.0.0.1", 0, 0},
                                           NumericCase{"127.0.0.1:65536", 0, 0}, NumericCase{"127.0.0.1:", 0, 0},
                                           NumericCase{"127.0.0.1:+80", 0, 0}, NumericCase{"01.2.3.4:80", 0, 0},
                                           NumericCase{"1.2.3:80", 0, 0}, NumericCase{"[::1]80", 0, 0},
                                           NumericCase{"[::1]", 0, 0}, NumericCase{"[::1]:", 0, 0},
                                           NumericCase{"::1:80", 0, 0}, NumericCase{"", 0, 0}));

struct SplitCase {
    const char* text;
    const char* outcome;  // the error message, or "host|port"
};

class SplitHostPortTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitHostPortTest, Splits) {
    const auto& c = GetParam();
    const auto r = split_host_port(c.text);
    EXPECT_EQ(r ? r->host + "|" + std::to_string(r->port) : r.error().message(), c.outcome) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SplitHostPortTest,
    ::testing::Values(SplitCase{"", "I/O error: invalid socket address"},
                      SplitCase{"localhost", "I/O error: invalid socket address"},
                      SplitCase{"h:", "I/O error: invalid port value"},
                      SplitCase{"h:65536", "I/O error: invalid port value"},
                      SplitCase{"h:99999999999999999999", "I/O error: invalid port value"},
                      SplitCase{"h:-1", "I/O error: invalid port value"},
                      SplitCase{"h:abc", "I/O error: invalid port value"},
                      SplitCase{"h:+", "I/O error: invalid port value"},
                      SplitCase{"h: 80", "I/O error: invalid port value"},
                      SplitCase{"h:+80", "h|80"}, SplitCase{"h:65535", "h|65535"}, SplitCase{"h:0080", "h|80"},
                      SplitCase{"a:b:80", "a:b|80"}, SplitCase{":80", "|80"}));

}  // namespace
}  // namespace kelpie
