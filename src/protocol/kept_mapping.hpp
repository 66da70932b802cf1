// A receive buffer's large block, kept mapped between the calls that use it.
#pragma once

#include <cstddef>

#include "protocol/buffer_memory.hpp"

namespace kelpie {

// Fresh memory costs a page fault and a zeroed page for every 4 KiB, about
// 25 ms for 64 MiB: for a large output that is a good part of the call. This
// memory keeps one block mapped once it is released, but hands its pages to
// the kernel with MADV_FREE: the kernel takes them back whenever it needs
// them, and until it does they come back without a fault when the next
// large output is received into the same block. Only a block of at most
// `bound` bytes is kept that way (a larger one is unmapped), so that on a
// 32-bit process the address space stays free for the next large string;
// destroying the memory unmaps what it keeps.
class KeptMapping final : public BufferMemory {
public:
    static constexpr std::size_t kDefaultBound = 128u << 20;

    explicit KeptMapping(std::size_t bound = kDefaultBound);
    ~KeptMapping() override;
    KeptMapping(const KeptMapping&) = delete;
    KeptMapping& operator=(const KeptMapping&) = delete;

    Block allocate(std::size_t capacity) override;
    // Remaps: a smaller block gives its tail back at once.
    bool resize(Block& block, std::size_t capacity, std::size_t keep) override;
    // Those of a block that ever grew past the bound go back at once; the
    // others wait for the block's release.
    void release_pages(Block& block, std::size_t from) noexcept override;
    // Kept, all its pages handed to the kernel, when no other block is and
    // it never grew past the bound; else unmapped.
    void release(Block& block) noexcept override;

    // The bytes kept mapped for the next block (none while a block is out).
    std::size_t kept() const { return kept_capacity_; }

private:
    bool too_large(const Block& block) const;

    std::size_t bound_;
    void* kept_ = nullptr;
    std::size_t kept_capacity_ = 0;
};

}  // namespace kelpie
