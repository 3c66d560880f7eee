#pragma once

#include <cstdint>

namespace tavo {

// What a detector watches: code ranges, data ranges, task values and a polarity
// (0 focus: only the listed items are watched; 1 suppress: the listed items are not).
struct filter_object_t {
    std::uint32_t polarity = 1;
};

// Null when the heap is exhausted.
filter_object_t* new_filter_object(std::uint32_t polarity) noexcept;

}  // namespace tavo
