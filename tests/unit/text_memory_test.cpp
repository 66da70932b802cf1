// A large output's text moving to memory the client was given: the memory
// for ASCII text, then the one for other text from the first byte beyond
// ASCII; and the mapping a client keeps between calls, within its bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include "fixtures.hpp"
#include "protocol/kept_mapping.hpp"
#include "protocol/packet.hpp"
#include "protocol/reply.hpp"
#include "protocol/text_collector.hpp"

namespace kelpie {
namespace {

using test::bytes_of;
using test::concat;
using test::frame;
using test::SocketPair;

// Plain malloc'd blocks, each one counted while it is out.
class CountedMemory final : public BufferMemory {
public:
    Block allocate(std::size_t capacity) override {
        auto* p = static_cast<std::uint8_t*>(std::malloc(capacity));
        if (p) live.insert(p);
        return {p, p ? capacity : 0, nullptr};
    }
    bool resize(Block& block, std::size_t capacity, std::size_t keep) override {
        static_cast<void>(keep);
        auto* p = static_cast<std::uint8_t*>(std::realloc(block.data, capacity));
        if (!p) return false;
        live.erase(block.data);
        live.insert(p);
        block = {p, capacity, nullptr};
        return true;
    }
    void release(Block& block) noexcept override {
        live.erase(block.data);
        std::free(block.data);
        block = {};
    }
    std::set<std::uint8_t*> live;
};

// `text` in replies of 4093 bytes, an empty reply, then a packet "next".
Bytes wire_of(const std::string& text) {
    Bytes wire;
    for (std::size_t at = 0; at < text.size(); at += 4093) {
        const Bytes f = frame(concat({Bytes{5, 0}, bytes_of(std::string_view(text).substr(at, 4093))}));
        wire.insert(wire.end(), f.begin(), f.end());
    }
    return concat({wire, frame(Bytes{5, 0}), frame(bytes_of("next"))});
}

class TextMemoryTest : public ::testing::Test {
protected:
    test::VirtualRuntime vr = test::virtual_runtime();
    SocketPair pair = SocketPair::make();
    PacketReader reader;

    // Collects `text` with `memory`, as a client does (room for the largest
    // packet made first), then reads the packet behind it.
    Result<Output> collect(const std::string& text, const TextMemory& memory, Result<Bytes>& next) {
        const Bytes wire = wire_of(text);
        if (!reader.reserve_packet()) return std::unexpected(ClientError::out_of_memory("no room for a packet"));
        std::thread peer([&] { test::send_all(pair.far.get(), wire); });
        Result<Output> out;
        {
            TextCollector collector(reader, memory);
            for (;;) {
                auto payload = vr.rt->block_on(reader.next(pair.near, std::nullopt));
                if (!payload) {
                    out = collector.fail(payload.error());
                    break;
                }
                const auto reply = reply_text_bytes(*payload);
                if (reply.empty()) {
                    out = collector.finish();
                    break;
                }
                collector.append(reply);
            }
        }
        next = vr.rt->block_on(read_packet(pair.near, reader));
        peer.join();
        return out;
    }
};

std::string repeated(std::string_view unit, std::size_t size) {
    std::string s;
    while (s.size() < size) s += unit;
    return s;
}

// ASCII text leaves in a block of the ASCII memory; text that turns out not
// to be ASCII moves on to the other memory, its ASCII block given back. The
// reader carries on in its own small buffer either way.
TEST_F(TextMemoryTest, TextMovesToTheMemoryForItsKind) {
    const auto ascii = std::make_shared<CountedMemory>();
    const auto other = std::make_shared<CountedMemory>();
    const TextMemory memory{ascii, other};
    struct Case {
        std::string text;
        bool ascii;
    };
    const Case cases[] = {{repeated("ascii line\n", 3u << 20), true},
                          {repeated("ascii line\n", 2u << 20) + repeated("ab\xE4\xB8\xAD", 1u << 20), false},
                          {repeated("x", 6000), true}};  // small: stays in the receive buffer
    for (const Case& c : cases) {
        Result<Bytes> next;
        Result<Output> out = collect(c.text, memory, next);
        ASSERT_TRUE(out) << out.error().message();
        EXPECT_TRUE(out->view() == c.text);
        EXPECT_EQ(out->ascii(), c.ascii);
        EXPECT_EQ(next, bytes_of("next"));
        EXPECT_LE(reader.capacity(), PacketReader::kKeptBetweenCalls);
        const bool large = c.text.size() > PacketReader::kKeptBetweenCalls;
        EXPECT_EQ(out->memory(), !large ? nullptr : c.ascii ? static_cast<BufferMemory*>(ascii.get()) : other.get());
        EXPECT_EQ(ascii->live.size(), large && c.ascii ? 1u : 0u);
        EXPECT_EQ(other->live.size(), large && !c.ascii ? 1u : 0u);
        *out = Output();
        EXPECT_TRUE(ascii->live.empty() && other->live.empty());
    }
}

// Growth failing in the text's own memory costs the text, not the place.
TEST_F(TextMemoryTest, OutOfMemoryInTheTextsMemoryKeepsTheReaderInStep) {
    const auto ascii = std::make_shared<CountedMemory>();
    Result<Bytes> next;
    Result<Output> out;
    {
        ByteBuffer::RefusalsFrom refusals(2u << 20);
        out = collect(repeated("ascii line\n", 5u << 20), TextMemory{ascii, nullptr}, next);
    }
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind(), ErrorKind::OutOfMemory);
    EXPECT_EQ(next, bytes_of("next"));
    EXPECT_TRUE(ascii->live.empty());
    EXPECT_LE(reader.capacity(), PacketReader::kKeptBetweenCalls);
}

// A memory whose every resize moves the block, as an allocator may when it
// shrinks one: an output copied out from its end, giving its memory back as
// it goes, must take each slice from where the text is then.
class MovingMemory final : public BufferMemory {
public:
    Block allocate(std::size_t capacity) override {
        return {static_cast<std::uint8_t*>(std::malloc(capacity)), capacity, nullptr};
    }
    bool resize(Block& block, std::size_t capacity, std::size_t keep) override {
        auto* p = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(capacity, 1)));
        if (!p) return false;
        std::memcpy(p, block.data, std::min({keep, capacity, block.capacity}));
        std::free(block.data);
        block = {p, capacity, nullptr};
        return true;
    }
    void release(Block& block) noexcept override {
        std::free(block.data);
        block = {};
    }
};

TEST(OutputMoveOut, TakesEachSliceFromWhereTheTextIsNow) {
    const std::string text = repeated("ab\xE4\xB8\xAD\xF0\x9F\x98\x80", 100000);
    ByteBuffer storage(std::make_shared<MovingMemory>());
    ASSERT_TRUE(storage.resize(text.size(), 0));
    std::memcpy(storage.data(), text.data(), text.size());
    Output output(std::move(storage), text.size(), TextShape{});
    std::string copy(text.size(), '\0');
    std::size_t parts = 0;
    output.move_out_from_end(4096, [&](const std::uint8_t* from, std::size_t start, std::size_t end) {
        std::memcpy(copy.data() + start, from + start, end - start);
        ++parts;
    });
    EXPECT_TRUE(copy == text);
    EXPECT_GT(parts, 20u);
    EXPECT_TRUE(output.empty());
}

// Between calls the mapping keeps one block, all of it lent to the kernel,
// and only one that never grew past its bound; the next large output is
// received into that same block. Dropping the memory unmaps it.
TEST_F(TextMemoryTest, KeptMappingKeepsOneBlockWithinItsBound) {
    const std::size_t bound = 8u << 20;
    const auto kept = std::make_shared<KeptMapping>(bound);
    const TextMemory memory{kept, kept};
    for (const std::size_t size : {3u << 20, 3u << 20, 20u << 20, 3u << 20}) {
        const std::string text = repeated("ab\xE4\xB8\xAD", size);
        Result<Bytes> next;
        Result<Output> out = collect(text, memory, next);
        ASSERT_TRUE(out) << out.error().message();
        EXPECT_TRUE(out->view() == text);
        EXPECT_EQ(next, bytes_of("next"));
        EXPECT_EQ(kept->kept(), 0u);  // lent out to the output
        // As a caller copying it out gives it back from the end.
        out->give_back_from(size / 2);
        EXPECT_TRUE(out->view() == std::string_view(text).substr(0, size / 2));
        *out = Output();
        if (size > bound) {
            EXPECT_EQ(kept->kept(), 0u);
            continue;
        }
        EXPECT_GT(kept->kept(), 0u);
        EXPECT_LE(kept->kept(), bound);
        // The next block is the kept one, with room past it for a larger output.
        const std::size_t kept_size = kept->kept();
        const BufferMemory::Block again = kept->allocate(1u << 20);
        EXPECT_EQ(kept->kept(), 0u);
        EXPECT_GT(again.capacity, kept_size);
        EXPECT_LE(again.capacity, bound);
        BufferMemory::Block back = again;
        kept->release(back);
    }
}

}  // namespace
}  // namespace kelpie
