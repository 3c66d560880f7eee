#pragma once

#include <cstdint>

namespace tavo {

// The next fresh sync id; ids of allocations and forks come from one counter and never coincide.
// A wrapped counter reports the overflow and yields 0.
std::uint64_t take_sync_id() noexcept;

}  // namespace tavo
