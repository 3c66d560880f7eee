// Address ranges of a filter and the lookup that decides whether a point or an access lies
// inside one of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/memory.h"

namespace tavo {

// Covers base to base + length inclusive; the end is computed in 64 bits. A code address p is
// looked up as {p, 0}, an access of `size` bytes at `address` as {address, size}.
struct range_t {
    std::uint64_t base;
    std::uint32_t length;

    std::uint64_t end() const noexcept { return base + length; }
};

// A precedes B when both A's base and A's end lie below B's. Ranges neither of which precedes
// the other are equivalent: equal ranges, and ranges of which one contains the other. That is a
// strict weak order only over ranges no two of which are equivalent, which is what a
// range_set_t keeps, so its members are ordered with bases and ends both increasing.
struct range_order_t {
    bool operator()(const range_t& a, const range_t& b) const noexcept {
        return a.base < b.base && a.end() < b.end();
    }
};

class range_set_t {
public:
    using ranges_t = set_t<range_t, range_order_t>;

    // The first member that does not precede the probe is the only one that can contain it: an
    // earlier one ends below the probe's end, a later one starts above this one's base.
    // No allocation and no lock; safe while other threads read the same immutable set.
    bool contains(range_t probe) const noexcept {
        const auto candidate = ranges_.lower_bound(probe);
        return candidate != ranges_.end() && candidate->base <= probe.base && probe.end() <= candidate->end();
    }

    // False, leaving the set as it was, when a member is equivalent to the range.
    // Throws std::bad_alloc.
    bool insert(range_t range);
    // Removes every member equivalent to the range (they lie next to each other in set order) and
    // returns how many there were.
    std::size_t remove_equivalent(range_t range) noexcept;
    void clear() noexcept { ranges_.clear(); }

    bool empty() const noexcept { return ranges_.empty(); }
    std::size_t size() const noexcept { return ranges_.size(); }
    ranges_t::const_iterator begin() const noexcept { return ranges_.begin(); }
    ranges_t::const_iterator end() const noexcept { return ranges_.end(); }

private:
    ranges_t ranges_;
};

}  // namespace tavo
