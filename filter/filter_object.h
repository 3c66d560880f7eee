// What a detector watches, and the verdicts the detectors ask of it on every event.
#pragma once

#include <cstdint>

#include "filter/range_set.h"
#include "runtime/memory.h"

namespace tavo {

constexpr std::uint32_t polarity_focus = 0;     // only the listed items are watched
constexpr std::uint32_t polarity_suppress = 1;  // the listed items are not watched

// Installed objects are immutable: a batch builds a new object and installs it with one pointer
// store, so detectors read them without a lock.
struct filter_object_t {
    range_set_t code;
    range_set_t data;
    set_t<std::uint64_t> tasks;  // kept and copied for the debugger; no detector reads it
    std::uint32_t polarity = polarity_suppress;
    // The object this one replaced. Replaced objects are never freed, since a detector may still
    // be reading one; the chain keeps them reachable.
    const filter_object_t* replaced = nullptr;
};

// Null when the heap is exhausted; no exception escapes.
filter_object_t* new_filter_object(std::uint32_t polarity) noexcept;
// The sets and the polarity of `original` in a new object, or null when the heap is exhausted.
filter_object_t* copy_filter_object(const filter_object_t& original) noexcept;

inline bool code_watched(const filter_object_t& filter, std::uint64_t code_address) noexcept {
    if (filter.polarity == polarity_focus) return filter.code.contains({code_address, 0});
    return filter.polarity == polarity_suppress && !filter.code.contains({code_address, 0});
}

inline bool data_watched(const filter_object_t& filter, std::uint64_t address, std::uint32_t size) noexcept {
    if (filter.polarity == polarity_focus) return filter.data.contains({address, size});
    return filter.polarity == polarity_suppress && !filter.data.contains({address, size});
}

// Focus watches an access whose data or call site is listed; suppress one whose data and call
// site are both unlisted.
inline bool access_watched(const filter_object_t& filter, std::uint64_t address, std::uint32_t size,
                           std::uint64_t code_address) noexcept {
    if (filter.polarity == polarity_focus)
        return filter.data.contains({address, size}) || filter.code.contains({code_address, 0});
    return filter.polarity == polarity_suppress && !filter.data.contains({address, size}) &&
           !filter.code.contains({code_address, 0});
}

}  // namespace tavo
