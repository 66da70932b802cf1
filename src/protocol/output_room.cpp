#include "protocol/output_room.hpp"

#include <algorithm>

#include "huge_pages.hpp"

namespace kelpie {

void make_output_room(std::string& out, std::size_t more) {
    const std::size_t needed = out.size() + more;
    if (needed <= out.capacity()) return;
    const std::size_t capacity = std::max(needed, 2 * out.capacity());
    if (capacity < kHugePagesFrom) {
        out.reserve(capacity);
        return;
    }
    // reserve() would copy the text into the new buffer before the advice
    // could be given, so the new buffer is made, advised, then filled.
    std::string bigger;
    bigger.reserve(capacity);
    advise_huge_pages(bigger.data(), capacity);
    bigger.append(out);
    out.swap(bigger);
}

}  // namespace kelpie
