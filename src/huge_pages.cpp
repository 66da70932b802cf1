#include "huge_pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kelpie {

void advise_huge_pages(void* data, std::size_t length) {
    if (length < kHugePagesFrom) return;
    // madvise takes whole pages; the pages at either end that the buffer
    // shares with its neighbours are left as they are.
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const auto begin = (start + page - 1) & ~(page - 1);
    const auto end = (start + length) & ~(page - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace kelpie
