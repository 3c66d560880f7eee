#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "filter/filter_object.h"

namespace tavo {
namespace {

TEST(RangeSet, EndsAreInsideAndContainmentMakesRangesEquivalent) {
    range_set_t set;
    ASSERT_TRUE(set.insert({0x1000, 0x100}));
    EXPECT_TRUE(set.contains({0x1000, 0}) && set.contains({0x1100, 0}) && set.contains({0x10F0, 16}));
    EXPECT_FALSE(set.contains({0xFFF, 0}) || set.contains({0x1101, 0}) || set.contains({0x10F0, 17}) ||
                 set.contains({0x0FFF, 2}));
    EXPECT_FALSE(set.insert({0x1010, 0x10}) || set.insert({0x800, 0x1000}) || set.insert({0x1000, 0x100}));
    ASSERT_TRUE(set.insert({0x1080, 0x100}));  // overlaps without containment
    EXPECT_TRUE(set.contains({0x1090, 0}) && set.contains({0x1150, 0}) && set.contains({0x1090, 0x80}));
    EXPECT_FALSE(set.contains({0x1050, 0x100}));  // covered by the two together, by neither alone
    ASSERT_TRUE(set.insert({0x2000, 0x10}));
    EXPECT_EQ(set.remove_equivalent({0x1000, 0x400}), 2u);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set.begin()->base, 0x2000u);
}

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

TEST(FilterVerdict, PolarityDecidesEveryVerdict) {
    filter_object_t filter;
    ASSERT_TRUE(filter.code.insert({0x401000, 0x1000}));
    ASSERT_TRUE(filter.data.insert({0x2000, 0x10}));
    struct row_t {
        std::uint32_t polarity;
        bool listed, unlisted, listed_data_only, listed_site_only;
    };
    for (const row_t row : {row_t{0, true, false, true, true}, row_t{1, false, true, false, false},
                            row_t{2, false, false, false, false}}) {
        filter.polarity = row.polarity;
        EXPECT_EQ(code_watched(filter, 0x401800), row.listed) << row.polarity;
        EXPECT_EQ(code_watched(filter, 0x500000), row.unlisted) << row.polarity;
        EXPECT_EQ(data_watched(filter, 0x2004, 4), row.listed) << row.polarity;
        EXPECT_EQ(data_watched(filter, 0x200E, 4), row.unlisted) << row.polarity;
        EXPECT_EQ(access_watched(filter, 0x3000, 4, 0x500000), row.unlisted) << row.polarity;
        EXPECT_EQ(access_watched(filter, 0x2004, 4, 0x500000), row.listed_data_only) << row.polarity;
        EXPECT_EQ(access_watched(filter, 0x3000, 4, 0x401800), row.listed_site_only) << row.polarity;
    }
}

}  // namespace
}  // namespace tavo
