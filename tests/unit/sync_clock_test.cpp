#include "sync/sync_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "raised_errors.h"
#include "runtime/errors.h"
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

TEST_F(clock_test, JoinRaisesEachEntryToTheLargerTime) {
    sync_clock_t& destination = make({{1, 5}, {2, 9}});
    sync_clock_t& empty = make({});
    destination.join(nullptr, *arena);
    destination.join(&empty, *arena);
    EXPECT_EQ(entries(destination), (entries_t{{1, 5}, {2, 9}}));

    sync_clock_t& source = make({{1, 7}, {2, 3}, {3, 4}});
    destination.join(&source, *arena);
    EXPECT_EQ(entries(destination), (entries_t{{1, 7}, {2, 9}, {3, 4}}));
    EXPECT_EQ(entries(source), (entries_t{{1, 7}, {2, 3}, {3, 4}}));
}

TEST_F(clock_test, JoinInsertsAbsentEntriesLastFoundFirst) {
    sync_clock_t& source = make({{4, 1}, {5, 2}, {6, 3}});
    sync_clock_t& destination = make({{5, 1}});
    destination.join(&source, *arena);
    EXPECT_EQ(entries(destination), (entries_t{{5, 2}, {6, 3}, {4, 1}}));
}

TEST_F(clock_test, OnlyAGreaterEntryOrdersAnEvent) {
    sync_clock_t& clock = make({{3, 5}});
    EXPECT_TRUE(clock.happens_before(3, 4));
    EXPECT_FALSE(clock.happens_before(3, 5));
    EXPECT_FALSE(clock.happens_before(4, 0));  // absent reads as 0
}

TEST_F(clock_test, AdvanceTicksRecordsTheOwnTimeAndPublishesIt) {
    sync_clock_t& task = make({{1, 3}});
    sync_clock_t& object = make({});
    std::uint64_t time = 4;
    task.advance(time, 2, object, *arena);
    EXPECT_EQ(time, 5u);
    EXPECT_EQ(entries(task), (entries_t{{1, 3}, {2, 5}}));
    EXPECT_EQ(object.time_of(1), 3u);
    EXPECT_TRUE(object.happens_before(2, 4));
    EXPECT_FALSE(object.happens_before(2, 5));
}

TEST_F(clock_test, AdvanceAtTheLastTimeReportsOverflowOnceAndKeepsTheTime) {
    test::set_thread_site(0x42);
    sync_clock_t& task = make({{2, UINT64_MAX}});
    sync_clock_t& object = make({});
    std::uint64_t time = UINT64_MAX;
    task.advance(time, 2, object, *arena);
    EXPECT_EQ(test::take_raised_errors(), (std::vector<test::raised_error_t>{{tavo::error::sync_clock_overflow, 0x42}}));
    EXPECT_EQ(time, UINT64_MAX);
    EXPECT_EQ(object.time_of(2), UINT64_MAX);
}

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

// Joins insert into an empty clock while other threads raise the same handles in it and in the
// source: no entry ever goes down, and each handle ends once, at its maximum.
TEST_F(clock_test, JoinsRacingWithRaisesEndAtThePerHandleMaximum) {
    constexpr int raisers = 2, rounds = 20000;
    constexpr std::uint16_t handles = 24;
    sync_clock_t& source = make({});
    sync_clock_t& destination = make({});
    std::vector<std::vector<std::uint64_t>> direct(raisers, std::vector<std::uint64_t>(handles + 1));
    std::atomic<int> ready{0}, decreases{0};
    std::atomic<bool> done{false};
    std::thread joiner([&] {
        ready.fetch_add(1);
        while (!done.load()) destination.join(&source, *arena);
    });
    std::vector<std::thread> threads;
    for (int r = 0; r < raisers; ++r) {
        threads.emplace_back([&, r] {
            ready.fetch_add(1);
            while (ready.load() < 1 + raisers) {}
            for (int round = 1; round <= rounds; ++round) {
                // Both raisers work on the same handle with close times, so that their raises meet.
                const auto handle = static_cast<std::uint16_t>(1 + round % handles);
                const std::uint64_t time = 2 * static_cast<std::uint64_t>(round) + r;
                if (round % 8 == 0) source.raise_to(handle, time, *arena);
                destination.raise_to(handle, time + 1, *arena);
                if (destination.time_of(handle) < time + 1) ++decreases;
                direct[r][handle] = std::max(direct[r][handle], time + 1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    done = true;
    joiner.join();

    EXPECT_EQ(decreases.load(), 0);
    destination.join(&source, *arena);
    const entries_t final_entries = entries(destination);
    ASSERT_EQ(final_entries.size(), std::size_t{handles});
    EXPECT_EQ(destination.entry_count(), handles);
    std::map<std::uint16_t, std::uint64_t> final_values(final_entries.begin(), final_entries.end());
    ASSERT_EQ(final_values.size(), std::size_t{handles});
    for (std::uint16_t handle = 1; handle <= handles; ++handle) {
        std::uint64_t expected = source.time_of(handle);
        for (int r = 0; r < raisers; ++r) expected = std::max(expected, direct[r][handle]);
        EXPECT_EQ(final_values[handle], expected) << "handle " << handle;
    }
}

// A join that read the retired handle before retirement must not insert it afterwards.
TEST_F(clock_test, RetirementIsNotUndoneByAJoinInFlight) {
    constexpr std::uint16_t retired = 7;
    for (int round = 0; round < 100; ++round) {
        entries_t filler{{retired, 1}};
        for (std::uint16_t handle = 8; handle < 72; ++handle) filler.emplace_back(handle, 1);
        sync_clock_t& source = make(filler);
        sync_clock_t& destination = make({});
        std::atomic<bool> started{false};
        std::thread joiner([&] {
            for (int join = 0; join < 4; ++join) {
                started = true;
                destination.join(&source, *arena);
            }
        });
        while (!started.load()) {}
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
