#include "filter/range_set.h"

#include <iterator>

namespace tavo {

bool range_set_t::insert(range_t range) {
    // Members that precede the range come first, then those equivalent to it, then those it
    // precedes; so the lower bound is equivalent exactly when any member is.
    const auto position = ranges_.lower_bound(range);
    if (position != ranges_.end() && !range_order_t{}(range, *position)) return false;
    ranges_.emplace_hint(position, range);
    return true;
}

std::size_t range_set_t::remove_equivalent(range_t range) noexcept {
    const auto [first, last] = ranges_.equal_range(range);
    const auto removed = static_cast<std::size_t>(std::distance(first, last));
    ranges_.erase(first, last);
    return removed;
}

}  // namespace tavo
