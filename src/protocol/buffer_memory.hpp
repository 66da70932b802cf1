// Where a ByteBuffer's blocks come from when not straight from the system.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelpie {

// Memory a ByteBuffer can be given instead of the system's: a client that
// keeps its receive buffer mapped between calls, or a binding that wants a
// large text to land in memory it owns (the very object it will hand out),
// without the core knowing what that memory is.
class BufferMemory {
public:
    struct Block {
        std::uint8_t* data = nullptr;
        std::size_t capacity = 0;
        void* owner = nullptr;  // what the memory knows the block by
    };

    virtual ~BufferMemory() = default;

    // A block of at least `capacity` bytes; an empty one when memory ran out.
    virtual Block allocate(std::size_t capacity) = 0;
    // Makes `block` hold at least `capacity` bytes, keeping its first `keep`;
    // a smaller capacity gives the rest back (as far as this memory does).
    // False, the block as it was, when memory ran out.
    virtual bool resize(Block& block, std::size_t capacity, std::size_t keep) = 0;
    // The bytes from `from` on are no longer needed, but the block may be
    // released soon and its pages wanted again: a memory that keeps pages
    // for the next block can keep these. By default they go back as resize does.
    virtual void release_pages(Block& block, std::size_t from) noexcept {
        if (from < block.capacity) static_cast<void>(resize(block, from, from));
    }
    // The block is done with.
    virtual void release(Block& block) noexcept = 0;
};

}  // namespace kelpie
