// Room in a growing output text.
#pragma once

#include <cstddef>
#include <string>

namespace kelpie {

// Makes room for `more` bytes at the end of `out`, growing its capacity
// geometrically as appending would, and asking for huge pages behind every
// buffer large enough to use them (outputs of many megabytes are common:
// logs, file listings, dumps).
void make_output_room(std::string& out, std::size_t more);

}  // namespace kelpie
