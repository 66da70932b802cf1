#include "protocol/kept_mapping.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace kelpie {

namespace {

// Room given past a kept block's size when it is handed out again.
constexpr std::size_t kGrowthRoom = 4u << 20;

std::size_t page_rounded(std::size_t n) {
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (n + page - 1) & ~(page - 1);
}

// The pages stay mapped, but the kernel may take them back without asking,
// and reads them as zeros if it did. Where the kernel cannot do that, they
// go back at once.
void lend_to_kernel(std::uint8_t* data, std::size_t size) {
    if (::madvise(data, size, MADV_FREE) != 0) ::madvise(data, size, MADV_DONTNEED);
}

}  // namespace

KeptMapping::KeptMapping(std::size_t bound) : bound_(page_rounded(bound)) {}

KeptMapping::~KeptMapping() {
    if (kept_) ::munmap(kept_, kept_capacity_);
}

// A block that ever grew past the bound goes back whole: kept, its start
// would split the stretch of address space it freed, and a 32-bit process
// needs that stretch whole for the str of an output that large.
bool KeptMapping::too_large(const Block& block) const { return block.owner == &bound_; }

BufferMemory::Block KeptMapping::allocate(std::size_t capacity) {
    capacity = page_rounded(std::max<std::size_t>(capacity, 1));
    if (kept_) {
        // The kept block whole, and room past it for an output a little
        // larger than the last (within the bound): growing it later by a
        // receive buffer's large steps would take it past the bound.
        const std::size_t room = std::min(bound_, page_rounded(kept_capacity_ + kept_capacity_ / 8 + kGrowthRoom));
        const std::size_t size = std::max({capacity, kept_capacity_, room});
        void* p = size == kept_capacity_ ? kept_ : ::mremap(kept_, kept_capacity_, size, MREMAP_MAYMOVE);
        if (p != MAP_FAILED) {
            kept_ = nullptr;
            kept_capacity_ = 0;
            return {static_cast<std::uint8_t*>(p), size, size > bound_ ? &bound_ : nullptr};
        }
        // No room to grow it where it is or elsewhere: the address space it
        // takes is better given back before a fresh block is asked for.
        ::munmap(std::exchange(kept_, nullptr), std::exchange(kept_capacity_, 0));
    }
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return {};
    return {static_cast<std::uint8_t*>(p), capacity, capacity > bound_ ? &bound_ : nullptr};
}

bool KeptMapping::resize(Block& block, std::size_t capacity, std::size_t keep) {
    static_cast<void>(keep);  // a remapping keeps every byte that still fits
    capacity = page_rounded(std::max<std::size_t>(capacity, 1));
    if (capacity == block.capacity) return true;
    void* p = ::mremap(block.data, block.capacity, capacity, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) return false;
    block.data = static_cast<std::uint8_t*>(p);
    block.capacity = capacity;
    if (capacity > bound_) block.owner = &bound_;  // too large to keep, now and after
    return true;
}

// A block within the bound is kept whole at its release, when all its pages
// go to the kernel at once; until then they stay as they are. Handing them
// over a slice at a time, as a caller copying the text out gives it back,
// walks their page tables once a slice (on PyPy about 7% of a large ASCII
// output's call) and gains nothing: lent pages stay resident until the
// kernel wants them anyway. A block past the bound gives its tail back now.
void KeptMapping::release_pages(Block& block, std::size_t from) noexcept {
    from = page_rounded(from);
    if (from >= block.capacity || !too_large(block)) return;
    static_cast<void>(resize(block, from, from));
}

void KeptMapping::release(Block& block) noexcept {
    if (!block.data) return;
    if (kept_ || too_large(block)) {
        ::munmap(block.data, block.capacity);
    } else {
        lend_to_kernel(block.data, block.capacity);
        kept_ = block.data;
        kept_capacity_ = block.capacity;
    }
    block = {};
}

}  // namespace kelpie
