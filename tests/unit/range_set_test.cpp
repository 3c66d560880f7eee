// The range set against an exhaustive search; filter verdicts are checked by the differential streams.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "filter/filter_object.h"

namespace tavo {
namespace {

// Small random ranges, so that overlap and containment are frequent.
TEST(RangeSet, AgreesWithExhaustiveSearch) {
    std::mt19937_64 random(12345);
    auto contains = [](range_t outer, range_t inner) { return outer.base <= inner.base && inner.end() <= outer.end(); };
    auto equivalent = [&](range_t a, range_t b) { return contains(a, b) || contains(b, a); };
    range_set_t set;
    std::vector<range_t> members;
    for (int step = 0; step < 4000; ++step) {
        const range_t range{random() % 512, static_cast<std::uint32_t>(random() % 64)};
        bool any_equivalent = false, any_contains = false;
        for (const range_t& member : members) {
            any_equivalent |= equivalent(member, range);
            any_contains |= contains(member, range);
        }
        ASSERT_EQ(set.contains(range), any_contains);
        if (step % 7 == 0) {
            const auto erased = std::erase_if(members, [&](const range_t& member) { return equivalent(member, range); });
            ASSERT_EQ(set.remove_equivalent(range), erased);
        } else {
            ASSERT_EQ(set.insert(range), !any_equivalent);
            if (!any_equivalent) members.push_back(range);
        }
    }
}

}  // namespace
}  // namespace tavo
