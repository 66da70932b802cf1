#include "protocol/byte_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kelpie {

namespace {

std::size_t page_rounded(std::size_t n) {
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (n + page - 1) & ~(page - 1);
}

std::uint8_t* map_bytes(std::size_t length) {
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
}

}  // namespace

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)),
      memory_(std::move(other.memory_)),
      owner_(std::exchange(other.owner_, nullptr)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_ = std::exchange(other.mapped_, false);
        memory_ = std::move(other.memory_);
        owner_ = std::exchange(other.owner_, nullptr);
    }
    return *this;
}

void ByteBuffer::release() {
    if (memory_) {
        if (data_) {
            BufferMemory::Block block{data_, capacity_, owner_};
            memory_->release(block);
        }
        owner_ = nullptr;
    } else if (mapped_) {
        ::munmap(data_, capacity_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    capacity_ = 0;
    mapped_ = false;
}

BufferMemory::Block ByteBuffer::take_block() {
    const BufferMemory::Block block{std::exchange(data_, nullptr), std::exchange(capacity_, 0),
                                    std::exchange(owner_, nullptr)};
    return block;
}

void ByteBuffer::release_pages_from(std::size_t size) {
    if (!memory_) return shrink_to(size);
    if (!data_ || size >= capacity_) return;
    BufferMemory::Block block{data_, capacity_, owner_};
    memory_->release_pages(block, size);
    data_ = block.data;
    capacity_ = block.capacity;
    owner_ = block.owner;
}

bool ByteBuffer::resize_from_memory(std::size_t capacity, std::size_t keep) {
    BufferMemory::Block block{data_, capacity_, owner_};
    if (!data_) {
        block = memory_->allocate(capacity);
        if (!block.data) return false;
    } else if (!memory_->resize(block, capacity, keep)) {
        return false;
    }
    data_ = block.data;
    capacity_ = block.capacity;
    owner_ = block.owner;
    return true;
}

void ByteBuffer::shrink_to(std::size_t size) {
    if (memory_) {
        if (data_ && size < capacity_) static_cast<void>(resize_from_memory(size, size));
        return;
    }
    if (!mapped_) return;
    const std::size_t keep = page_rounded(size);
    if (keep >= capacity_) return;
    if (keep == 0) return release();
    ::munmap(data_ + keep, capacity_ - keep);
    capacity_ = keep;
}

bool ByteBuffer::resize(std::size_t capacity, std::size_t keep) {
    if (keep > capacity_) keep = capacity_;
    if (capacity >= refused_from_) return false;
    if (memory_) return resize_from_memory(capacity, keep);
    if (capacity < kMappedFrom) {
        if (!mapped_) {
            // realloc copies what the old block held; for blocks this small that
            // costs less than a second allocation would.
            void* p = std::realloc(data_, capacity ? capacity : 1);
            if (!p) return false;
            data_ = static_cast<std::uint8_t*>(p);
            capacity_ = capacity;
            return true;
        }
        auto* p = static_cast<std::uint8_t*>(std::malloc(capacity ? capacity : 1));
        if (!p) return false;
        std::memcpy(p, data_, std::min(keep, capacity));
        ::munmap(data_, capacity_);
        data_ = p;
        capacity_ = capacity;
        mapped_ = false;
        return true;
    }
    capacity = page_rounded(capacity);
    if (mapped_) {
        // The kernel moves the page tables, not the bytes.
        void* p = ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) return false;
        data_ = static_cast<std::uint8_t*>(p);
        capacity_ = capacity;
        return true;
    }
    std::uint8_t* p = map_bytes(capacity);
    if (!p) return false;
    if (keep) std::memcpy(p, data_, keep);
    std::free(data_);
    data_ = p;
    capacity_ = capacity;
    mapped_ = true;
    return true;
}

}  // namespace kelpie
