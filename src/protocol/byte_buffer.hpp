// A growable block of bytes that gives its memory back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "protocol/buffer_memory.hpp"

namespace kelpie {

// Small blocks come from malloc. Large ones are mappings of their own: they
// grow by remapping pages instead of copying bytes, and the memory goes back
// to the system the moment they are released, not whenever the allocator
// trims its heap. Running out of memory is a return value, never an
// exception: a caller collecting a huge output must be able to go on reading
// (and dropping) the rest of it.
//
// A buffer made with a BufferMemory takes every block from it instead.
class ByteBuffer {
public:
    // From this size on a block is a mapping of its own.
    static constexpr std::size_t kMappedFrom = 256 * 1024;

    ByteBuffer() = default;
    // An empty buffer whose blocks come from `memory`.
    explicit ByteBuffer(std::shared_ptr<BufferMemory> memory) : memory_(std::move(memory)) {}
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { release(); }

    std::uint8_t* data() const { return data_; }
    std::size_t capacity() const { return capacity_; }
    // The memory the blocks come from; null for the system's.
    BufferMemory* memory() const { return memory_.get(); }
    // Hands the block over to the caller, who releases it (to memory()),
    // leaving the buffer empty.
    BufferMemory::Block take_block();

    // Makes the capacity at least `capacity` (exactly, for malloc'd blocks),
    // keeping the first `keep` bytes. False when the memory cannot be had:
    // the buffer is then as it was.
    [[nodiscard]] bool resize(std::size_t capacity, std::size_t keep);
    // Gives the memory past the first `size` bytes back to the system at
    // once, where the block is a mapping of its own; a malloc'd block stays.
    // A BufferMemory's block is resized down, as far as that memory gives back.
    void shrink_to(std::size_t size);
    // The same for bytes whose pages may soon be wanted again: a BufferMemory
    // that keeps pages between blocks keeps these.
    void release_pages_from(std::size_t size);
    void release();

    // While one of these lives, every resize() to a capacity of at least
    // `from` bytes fails as if memory had run out (other allocations are not
    // affected): tests reach each out-of-memory path at the size they choose,
    // without exhausting the machine.
    class RefusalsFrom {
    public:
        explicit RefusalsFrom(std::size_t from) : before_(std::exchange(refused_from_, from)) {}
        ~RefusalsFrom() { refused_from_ = before_; }
        RefusalsFrom(const RefusalsFrom&) = delete;
        RefusalsFrom& operator=(const RefusalsFrom&) = delete;

    private:
        std::size_t before_;
    };

private:
    static inline std::size_t refused_from_ = SIZE_MAX;

    bool resize_from_memory(std::size_t capacity, std::size_t keep);

    std::uint8_t* data_ = nullptr;
    std::size_t capacity_ = 0;
    bool mapped_ = false;
    std::shared_ptr<BufferMemory> memory_;
    void* owner_ = nullptr;  // the memory's name for the block
};

}  // namespace kelpie
