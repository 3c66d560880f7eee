#include "sync/handle_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/errors.h"
#include "test_support.h"
#include "tsm/arena.h"

using tavo::handle_map_t;
using tavo::insert_status_t;
using tavo::pinned_slot_t;

namespace {

struct map_test : ::testing::Test {
    std::unique_ptr<tavo::arena_t> arena = std::make_unique<tavo::arena_t>();
    handle_map_t map;

    std::vector<std::uint16_t> live_handles() {
        std::vector<std::uint16_t> handles;
        map.for_each_live([&](pinned_slot_t& entry) { handles.push_back(entry.handle()); });
        return handles;
    }
};

TEST_F(map_test, ReadersSkipSlotsBeingFilledOrErased) {
    auto& head = map.head;
    head.keys[0] = 5;  // claimed, value not yet stored
    head.keys[1] = 6;
    head.values[1] = 60;
    head.pins[1] = handle_map_t::erasing;
    head.keys[2] = 6;  // a later entry of the same handle, live
    head.values[2] = 61;
    EXPECT_FALSE(map.find(5));
    EXPECT_EQ(map.find(6).value(), 61u);
    EXPECT_EQ(live_handles(), std::vector<std::uint16_t>{6});
    EXPECT_EQ(head.pins[0] + head.pins[1] + head.pins[2], handle_map_t::erasing);  // no pin left behind
}

TEST_F(map_test, InsertThatCannotGetABucketReportsAndGivesUp) {
    test::set_thread_site(0x99);
    arena->limit_heap_segments(0);
    arena->allocate(65520);
    for (std::uint16_t handle = 1; handle <= 8; ++handle) map.insert(handle, handle, *arena);
    EXPECT_EQ(map.insert(9, 9, *arena).status, insert_status_t::failed);
    EXPECT_FALSE(map.claim(9, 9, *arena));
    EXPECT_EQ(test::take_raised_errors(), test::raised_errors_t(2, {tavo::error::out_of_memory, 0x99}));
    EXPECT_EQ(map.entry_count(), 8);
    EXPECT_EQ(map.bucket_count(), 1u);
    EXPECT_EQ(map.insert(1, 5, *arena).status, insert_status_t::already_present);  // no lock left held
}

TEST_F(map_test, EraseWaitsUntilThePinsOnItsSlotAreReleased) {
    map.insert(7, 70, *arena);
    pinned_slot_t held = map.find(7);
    std::atomic<bool> erased{false};
    std::thread eraser([&] {
        map.erase(7);
        erased = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(erased.load());
    EXPECT_EQ(held.value(), 70u);
    held.release();
    eraser.join();
    EXPECT_FALSE(map.find(7));
}

// Shared handles are inserted and raised by every thread and never erased; each thread also
// inserts and erases handles of its own.
TEST_F(map_test, ConcurrentUseLosesNoEntryAndNeverShowsTwoForAHandle) {
    constexpr int threads = 4, rounds = 6000;
    constexpr std::uint16_t shared_handles = 20;
    std::atomic<int> faults{0};
    std::vector<std::vector<std::uint64_t>> raised_to(threads, std::vector<std::uint64_t>(shared_handles + 1));
    test::run_together(threads, [&](int t) {
        for (int round = 1; round <= rounds; ++round) {
            const auto shared = static_cast<std::uint16_t>(1 + (round * 7 + t) % shared_handles);
            const std::uint64_t time = static_cast<std::uint64_t>(round) * threads + t;
            if (auto result = map.insert(shared, time, *arena); result.existing) result.existing.raise(time);
            raised_to[t][shared] = time;
            if (auto entry = map.find(shared); !entry || entry.value() < time) ++faults;

            const auto own = static_cast<std::uint16_t>(100 + t * 8 + round % 8);
            if (map.insert(own, time, *arena).status != insert_status_t::inserted) ++faults;
            std::map<std::uint16_t, int> seen;
            map.for_each_live([&](pinned_slot_t& live) { ++seen[live.handle()]; });
            for (auto [handle, times] : seen)
                if (times > 1 && (handle <= shared_handles || handle == own)) ++faults;
            if (seen[own] != 1 || !map.erase(own) || map.find(own)) ++faults;
        }
    });
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(map.entry_count(), shared_handles);
    EXPECT_LE(map.bucket_count(), 8u);  // erased slots are claimed again: 24,000 inserts, at most 24 live
    std::map<std::uint16_t, std::uint64_t> values;
    map.for_each_live([&](pinned_slot_t& live) { EXPECT_TRUE(values.emplace(live.handle(), live.value()).second); });
    for (std::uint16_t handle = 1; handle <= shared_handles; ++handle) {
        std::uint64_t expected = 0;
        for (int t = 0; t < threads; ++t) expected = std::max(expected, raised_to[t][handle]);
        EXPECT_EQ(values[handle], expected) << "handle " << handle;
    }
}

}  // namespace
