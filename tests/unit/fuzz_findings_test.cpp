// Faults the fuzz targets found, each kept as the smallest case that shows it
// (the inputs themselves are in fuzz/corpus under names starting "regression-").
#include <gtest/gtest.h>

#include <string_view>

#include "net/address.hpp"

namespace kelpie {
namespace {

using namespace std::string_view_literals;

// The system's parser reads a C string, so a NUL ended the address early:
// "[::\0...1]:8710" was taken for [::]:8710, "1.2.3.4\0x:80" for 1.2.3.4:80.
TEST(FuzzFindings, NumericAddressWithANulIsNotNumeric) {
    for (std::string_view text : {"[::\0\0\0\0\0\0\0\0" "1]:8710"sv, "1.2.3.4\0x:80"sv, "[::1\0]:80"sv})
        EXPECT_FALSE(parse_numeric_address(text)) << text.size();
    EXPECT_TRUE(parse_numeric_address("[::1]:8710"));
}

}  // namespace
}  // namespace kelpie
