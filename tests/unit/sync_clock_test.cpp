#include "sync/sync_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/errors.h"
#include "test_support.h"
#include "sync/clock_gate.h"
#include "tsm/arena.h"

using tavo::sync_clock_t;

namespace {

using entries_t = std::vector<std::pair<std::uint16_t, std::uint64_t>>;

struct clock_test : ::testing::Test {
    std::unique_ptr<tavo::arena_t> arena = std::make_unique<tavo::arena_t>();

    sync_clock_t& make(const entries_t& entries) {
        sync_clock_t* clock = sync_clock_t::create(*arena);
        for (auto [handle, time] : entries) clock->raise_to(handle, time, *arena);
        return *clock;
    }
    static entries_t entries(sync_clock_t& clock) {
        entries_t all;
        clock.for_each_live([&](tavo::pinned_slot_t& entry) { all.emplace_back(entry.handle(), entry.value()); });
        return all;
    }
};

TEST_F(clock_test, JoinWithoutBucketsReportsOnceAndStillRaisesWhatItFinds) {
    sync_clock_t& destination = make({{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}});
    sync_clock_t& source = make({{1, 5}, {9, 1}, {10, 1}, {2, 6}});
    arena->limit_heap_segments(0);
    while (arena->allocate(65520) != nullptr) {}
    test::take_raised_errors();

    destination.join(&source, *arena);
    const auto raised = test::take_raised_errors();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].code, tavo::error::out_of_memory);
    EXPECT_EQ(destination.time_of(1), 5u);
    EXPECT_EQ(destination.time_of(2), 6u);
    EXPECT_EQ(destination.entry_count(), 8);
}

// Two threads raise one handle with close times while a third keeps joining into the clock.
TEST_F(clock_test, JoinsRacingWithRaisesNeverLowerAnEntryAndEndAtTheMaximum) {
    constexpr int rounds = 20000;
    constexpr std::uint16_t handles = 24;
    sync_clock_t& source = make({});
    sync_clock_t& destination = make({});
    std::vector<std::vector<std::uint64_t>> direct(2, std::vector<std::uint64_t>(handles + 1));
    std::atomic<int> decreases{0};
    std::atomic<bool> done{false};
    test::run_together(3, [&](int t) {
        if (t == 2) {
            while (!done.load()) destination.join(&source, *arena);
            return;
        }
        for (int round = 1; round <= rounds; ++round) {
            const auto handle = static_cast<std::uint16_t>(1 + round % handles);
            const std::uint64_t time = 2 * static_cast<std::uint64_t>(round) + t;
            if (round % 8 == 0) source.raise_to(handle, time, *arena);
            destination.raise_to(handle, time + 1, *arena);
            if (destination.time_of(handle) < time + 1) ++decreases;
            direct[t][handle] = time + 1;
        }
        if (t == 0) done = true;
    });
    EXPECT_EQ(decreases.load(), 0);
    destination.join(&source, *arena);
    const entries_t final_entries = entries(destination);
    ASSERT_EQ(final_entries.size(), std::size_t{handles});
    for (auto [handle, time] : final_entries)
        EXPECT_EQ(time, std::max({source.time_of(handle), direct[0][handle], direct[1][handle]})) << handle;
}

// A store that ends a release sequence empties the object's clock while other tasks release into
// it: no handle may end up in it twice, and the count must match what is there.
TEST_F(clock_test, ClearRacingWithReleasesLeavesEachHandleOnceAndCoveredByItsReleaser) {
    sync_clock_t& object = make({{7, 3}});
    EXPECT_FALSE(object.covered_by(make({{7, 2}})));
    EXPECT_TRUE(object.covered_by(make({{7, 3}, {8, 1}})));
    object.clear();
    EXPECT_EQ(entries(object), entries_t{});

    constexpr int rounds = 20000;
    std::vector<sync_clock_t*> tasks = {&make({{1, 1}, {3, 1}}), &make({{2, 1}, {3, 2}})};
    std::vector<std::uint64_t> times = {1, 1};
    std::atomic<bool> done{false};
    test::run_together(3, [&](int t) {
        if (t == 2) {
            while (!done.load()) object.clear();
            return;
        }
        for (int round = 0; round < rounds; ++round)
            tasks[t]->advance(times[t], static_cast<std::uint16_t>(t + 1), object, *arena);
        if (t == 0) done = true;
    });
    for (int t = 0; t < 2; ++t) tasks[t]->advance(times[t], static_cast<std::uint16_t>(t + 1), object, *arena);
    entries_t final_entries = entries(object);
    std::sort(final_entries.begin(), final_entries.end());
    EXPECT_EQ(final_entries, (entries_t{{1, times[0]}, {2, times[1]}, {3, 2}}));
    EXPECT_EQ(object.entry_count(), 3);
}

// A join that read the handle before its retirement must not insert it afterwards. The retired
// handle comes first in the source, so the join merges it last; retirement starts while the join
// is merging.
TEST_F(clock_test, RetirementIsNotUndoneByAJoinInFlight) {
    constexpr std::uint16_t retired = 7;
    entries_t filler{{retired, 1}};
    for (std::uint16_t handle = 8; handle < 200; ++handle) filler.emplace_back(handle, 1);
    for (int round = 0; round < 50; ++round) {
        sync_clock_t& source = make(filler);
        sync_clock_t& destination = make({});
        std::thread joiner([&] { destination.join(&source, *arena); });
        while (destination.entry_count() == 0) {}
        tavo::clock_gate.retire_handle(retired, [&](std::uint16_t handle) {
            source.erase(handle);
            destination.erase(handle);
        });
        joiner.join();
        ASSERT_EQ(destination.time_of(retired), 0u) << "round " << round;
        arena->rewind();
    }
}

}  // namespace
