#include <gtest/gtest.h>

#include "error.hpp"

namespace kelpie {
namespace {

TEST(ClientErrorTest, RendersEachKind) {
    EXPECT_EQ(ClientError::not_connected().message(), "Not connected to HDC server");
    EXPECT_EQ(ClientError::timeout().message(), "Operation timed out");
    EXPECT_EQ(ClientError::protocol("Received zero-length packet").message(),
              "Protocol error: Received zero-length packet");
    EXPECT_EQ(ClientError::io_text("early eof").message(), "I/O error: early eof");
    EXPECT_EQ(ClientError::os(111).message(), "I/O error: Connection refused (os error 111)");
    EXPECT_EQ(ClientError::handshake_failed("x").message(), "Handshake failed: x");
    EXPECT_EQ(ClientError::buffer("b").message(), "Buffer error: b");
    EXPECT_EQ(ClientError::command_failed("c").message(), "Command failed: c");
    EXPECT_EQ(ClientError::device_not_found("d").message(), "Device not found: d");
}

TEST(ClientErrorTest, BannerAsDecimalList) {
    const std::uint8_t b[12] = {79, 72, 79, 83, 32, 72, 68, 99, 0, 0, 0, 0};
    EXPECT_EQ(ClientError::invalid_banner(b).message(),
              "Invalid banner: expected 'OHOS HDC', got [79, 72, 79, 83, 32, 72, 68, 99, 0, 0, 0, 0]");
    EXPECT_EQ(ClientError::invalid_banner({}).message(), "Invalid banner: expected 'OHOS HDC', got []");
}

TEST(ClientErrorTest, Utf8Texts) {
    EXPECT_EQ(ClientError::utf8({0x6F, 0x6B, 0xFF}, 2, 1).message(),
              "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 2");
    EXPECT_EQ(ClientError::utf8({0x6F, 0x6B, 0xE2, 0x82}, 2, std::nullopt).message(),
              "UTF-8 error: incomplete utf-8 byte sequence from index 2");
}

}  // namespace
}  // namespace kelpie
