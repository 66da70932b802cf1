// Advice that a large buffer be backed by 2 MiB pages.
#pragma once

#include <cstddef>

namespace kelpie {

// From this size on a buffer holds at least one whole huge page.
inline constexpr std::size_t kHugePagesFrom = 4u << 20;

// Asks the kernel for huge pages behind [data, data + length), before the
// buffer is first written: filling 64 MiB then costs a few dozen page faults
// instead of sixteen thousand, which take longer than receiving the bytes.
// Advice only: where the kernel has none to give, nothing changes.
void advise_huge_pages(void* data, std::size_t length);

}  // namespace kelpie
