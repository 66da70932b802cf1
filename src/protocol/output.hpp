// The text an operation gathered from many replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <utility>
#include <string>
#include <string_view>

#include "protocol/byte_buffer.hpp"
#include "protocol/utf8.hpp"

namespace kelpie {

// Valid UTF-8, held in the buffer it was received in: a large output is
// handed over by the connection whole, never copied before it becomes the
// caller's string. Releasing it gives the memory back at once.
class Output {
public:
    Output() = default;
    Output(ByteBuffer storage, std::size_t size, const TextShape& shape)
        : storage_(std::move(storage)), size_(size), shape_(shape) {}

    std::string_view view() const {
        return size_ ? std::string_view(reinterpret_cast<const char*>(storage_.data()), size_) : std::string_view();
    }
    std::size_t size() const { return size_; }
    // The memory held for the text, in whole pages when it is mapped.
    std::size_t capacity() const { return storage_.capacity(); }
    bool empty() const { return size_ == 0; }
    // Every byte is below 0x80, so the text is also its own one-byte form.
    bool ascii() const { return shape_.ascii(); }
    // How many characters, and the widest: what a string of the text needs.
    const TextShape& shape() const { return shape_; }
    std::string str() const { return std::string(view()); }
    // The memory the text's block came from (null: the system's).
    BufferMemory* memory() const { return storage_.memory(); }
    // Hands the text's block over to the caller, who releases it to
    // memory(); the output is empty after.
    BufferMemory::Block take_block() {
        size_ = 0;
        return storage_.take_block();
    }
    // Shortens the text to its first `size` bytes and gives the memory
    // behind them back: a caller copying a large output out from its end
    // never holds it twice over.
    void give_back_from(std::size_t size) {
        if (size >= size_) return;
        size_ = size;
        storage_.release_pages_from(size);
    }

    // Hands the text to `move(from, start, end)`, where `from` points at the
    // text and [start, end) is the part to move, from its end, about `slice`
    // bytes at a time (each part starts on a character), and gives each
    // part's memory back as soon as it is moved: a copy made this way holds
    // the text about once, not twice. Giving back may move the block (a
    // memory may resize by reallocating), so `from` is taken afresh for
    // every part.
    template <typename Move>
    void move_out_from_end(std::size_t slice, Move&& move) {
        for (std::size_t end = size_; end > 0;) {
            const std::uint8_t* from = storage_.data();
            std::size_t start = end > slice ? end - slice : 0;
            while ((from[start] & 0xC0) == 0x80) --start;
            move(from, start, end);
            give_back_from(start);
            end = start;
        }
    }

    friend bool operator==(const Output& a, std::string_view b) { return a.view() == b; }
    friend std::ostream& operator<<(std::ostream& os, const Output& o) { return os << o.view(); }

private:
    ByteBuffer storage_;
    std::size_t size_ = 0;
    TextShape shape_;
};

}  // namespace kelpie
