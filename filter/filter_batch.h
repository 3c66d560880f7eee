#pragma once

#include <cstdint>

namespace tavo {

class runtime_t;

// Applies the filter records in the filter buffer as one batch, counting the filter count down as
// records succeed. Returns 0, or the failing record's error code with nothing of the batch in force.
// Runs under the runtime lock.
std::int32_t apply_filter_batch(runtime_t& runtime) noexcept;

}  // namespace tavo
