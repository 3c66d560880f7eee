#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "filter/filter_object.h"

namespace tavo {
namespace {

range_set_t set_of(std::initializer_list<range_t> ranges) {
    range_set_t set;
    for (const range_t& range : ranges) EXPECT_TRUE(set.insert(range));
    return set;
}

bool point_in(const range_set_t& set, std::uint64_t point) { return set.contains({point, 0}); }

TEST(RangeSet, PointsAndAccessesIncludeTheEnd) {
    const range_set_t set = set_of({{0x1000, 0x100}});
    EXPECT_TRUE(point_in(set, 0x1000));
    EXPECT_TRUE(point_in(set, 0x1100));
    EXPECT_FALSE(point_in(set, 0xFFF));
    EXPECT_FALSE(point_in(set, 0x1101));
    EXPECT_TRUE(set.contains({0x10F0, 16}));
    EXPECT_FALSE(set.contains({0x10F0, 17}));
    EXPECT_FALSE(set.contains({0x0FFF, 2}));
    EXPECT_FALSE(range_set_t{}.contains({0x1000, 0}));
}

TEST(RangeSet, OverlappingRangesAreKeptAndEachIsFound) {
    const range_set_t set = set_of({{0x1080, 0x100}, {0x1000, 0x100}});
    EXPECT_EQ(set.size(), 2u);
    EXPECT_TRUE(point_in(set, 0x1090));
    EXPECT_TRUE(point_in(set, 0x1150));
    EXPECT_TRUE(set.contains({0x1090, 0x80}));
    EXPECT_FALSE(set.contains({0x1050, 0x100}));  // covered by the two together, by neither alone
}

TEST(RangeSet, InsertRejectsEqualContainedAndContainingRanges) {
    range_set_t set = set_of({{0x1000, 0x100}});
    EXPECT_FALSE(set.insert({0x1000, 0x100}));
    EXPECT_FALSE(set.insert({0x1010, 0x10}));
    EXPECT_FALSE(set.insert({0x800, 0x1000}));
    EXPECT_FALSE(set.insert({0x1000, 0}));
    EXPECT_EQ(set.size(), 1u);
    EXPECT_TRUE(set.insert({0x1001, 0x100}));
}

TEST(RangeSet, RemoveTakesTheWholeRunOfEquivalentRanges) {
    range_set_t set = set_of({{0x800, 0x10}, {0x1000, 0x100}, {0x1200, 0x100}, {0x2000, 0x10}});
    EXPECT_EQ(set.remove_equivalent({0x1000, 0x400}), 2u);
    EXPECT_EQ(set.remove_equivalent({0x1000, 0x400}), 0u);
    ASSERT_EQ(set.size(), 2u);
    EXPECT_EQ(set.begin()->base, 0x800u);
    EXPECT_EQ(std::next(set.begin())->base, 0x2000u);
    EXPECT_EQ(set.remove_equivalent({0x2004, 1}), 1u);  // a probe inside the range removes it too
}

// Against brute force over small random ranges, so that overlaps and containment are frequent.
TEST(RangeSet, AgreesWithExhaustiveSearch) {
    std::mt19937_64 random(12345);
    auto random_range = [&] { return range_t{random() % 512, static_cast<std::uint32_t>(random() % 64)}; };
    auto contains = [](range_t outer, range_t inner) { return outer.base <= inner.base && inner.end() <= outer.end(); };
    auto equivalent = [&](range_t a, range_t b) { return contains(a, b) || contains(b, a); };
    range_set_t set;
    std::vector<range_t> members;
    for (int step = 0; step < 4000; ++step) {
        const range_t range = random_range();
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
        ASSERT_EQ(set.size(), members.size());
    }
}

TEST(FilterVerdict, CodeAndDataVerdictsFollowThePolarity) {
    filter_object_t filter;
    ASSERT_TRUE(filter.code.insert({0x1000, 0x100}));
    ASSERT_TRUE(filter.data.insert({0x1000, 0x100}));
    struct row_t {
        std::uint32_t polarity;
        bool listed_watched, unlisted_watched;
    };
    for (const row_t row : {row_t{0, true, false}, row_t{1, false, true}, row_t{2, false, false}}) {
        filter.polarity = row.polarity;
        EXPECT_EQ(code_watched(filter, 0x1080), row.listed_watched) << row.polarity;
        EXPECT_EQ(code_watched(filter, 0x2000), row.unlisted_watched) << row.polarity;
        EXPECT_EQ(data_watched(filter, 0x1080, 8), row.listed_watched) << row.polarity;
        EXPECT_EQ(data_watched(filter, 0x10FC, 8), row.unlisted_watched) << row.polarity;
    }
}

TEST(FilterVerdict, FocusWatchesEitherListedDataOrListedSite) {
    filter_object_t filter;
    filter.polarity = polarity_focus;
    ASSERT_TRUE(filter.data.insert({0x2000, 0x10}));
    EXPECT_TRUE(access_watched(filter, 0x2004, 4, 0x1234));
    EXPECT_FALSE(access_watched(filter, 0x3000, 4, 0x401800));
    ASSERT_TRUE(filter.code.insert({0x401000, 0x1000}));
    EXPECT_TRUE(access_watched(filter, 0x3000, 4, 0x401800));
}

TEST(FilterVerdict, SuppressWatchesOnlyWhenDataAndSiteAreUnlisted) {
    filter_object_t filter;
    ASSERT_TRUE(filter.code.insert({0x401000, 0x1000}));
    ASSERT_TRUE(filter.data.insert({0x2000, 0x10}));
    EXPECT_FALSE(access_watched(filter, 0x3000, 4, 0x401800));
    EXPECT_FALSE(access_watched(filter, 0x2004, 4, 0x500000));
    EXPECT_TRUE(access_watched(filter, 0x3000, 4, 0x500000));
    filter.polarity = 7;
    EXPECT_FALSE(access_watched(filter, 0x3000, 4, 0x500000));
}

}  // namespace
}  // namespace tavo
