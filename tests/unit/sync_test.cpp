// The synchronisation structures where the differential streams do not reach: exhausted memory,
// concurrent readers and writers of the handle maps, clocks and alias tables, and releases that
// publish one entry under concurrent tasks.
#include <algorithm>
#include <chrono>
#include <map>
#include <memory>

#include "sync/clock_gate.h"
#include "sync/sync_operation.h"
#include "task/fork.h"
#include "test_support.h"
#include "tsm/arena.h"

using tavo::handle_map_t;
using tavo::insert_status_t;
using tavo::pinned_slot_t;
using tavo::sync_clock_t;

namespace {

tavo::task_context_t& current_task() { return *tavo::obtain_thread_record()->current_task; }

// Resolution reads a table's size without the alias lock, while another thread makes and destroys
// aliases under it: under ThreadSanitizer an unlocked read of the map itself would show.
TEST(AliasTable, ResolvingWhileAnotherThreadMakesAndDestroysAliases) {
    constexpr tavo::sync_object_t target{4, 7};
    std::atomic<bool> done{false};
    test::run_together(2, [&](int worker) {
        if (worker == 0) {
            for (std::uint64_t round = 0; round < 20000; ++round) {
                tavo::record_alias({2, round % 4}, target);
                tavo::remove_alias({2, round % 4});
            }
            done = true;
            return;
        }
        while (!done.load()) {
            const tavo::sync_object_t resolved = tavo::resolve({2, 1});
            // Either the pair itself or its target, never anything in between.
            ASSERT_TRUE(resolved == (tavo::sync_object_t{2, 1}) || resolved == target);
        }
    });
    EXPECT_EQ(tavo::resolve({2, 1}), (tavo::sync_object_t{2, 1}));
    EXPECT_TRUE(test::take_stops().empty());
}

using entries_t = std::vector<std::pair<std::uint16_t, std::uint64_t>>;

// A map's live entries, sorted: a handle listed twice shows.
entries_t entries_of(handle_map_t& map) {
    entries_t all;
    map.for_each_live([&](pinned_slot_t& entry) { all.emplace_back(entry.handle(), entry.value()); });
    std::sort(all.begin(), all.end());
    return all;
}

struct map_test : ::testing::Test {
    std::unique_ptr<tavo::arena_t> arena = std::make_unique<tavo::arena_t>();
    handle_map_t map;
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
    EXPECT_EQ(entries_of(map), (entries_t{{6, 61}}));
    EXPECT_EQ(head.pins[0] + head.pins[1] + head.pins[2], handle_map_t::erasing);  // no pin left behind
}

TEST_F(map_test, InsertThatCannotGetABucketReportsAndGivesUp) {
    test::set_thread_site(0x99);
    arena->limit_heap_segments(0);
    arena->allocate(65520);
    for (std::uint16_t handle = 1; handle <= 8; ++handle) map.insert(handle, handle, *arena);
    EXPECT_EQ(map.insert(9, 9, *arena).status, insert_status_t::failed);
    EXPECT_FALSE(map.claim(9, 9, *arena));
    const auto stops = test::take_stops();
    ASSERT_EQ(stops.size(), 2u);
    for (const test::stop_t& stop : stops) EXPECT_TRUE(stop.reason == tavo::error::out_of_memory && stop.site == 0x99);
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
    entries_t expected;
    for (std::uint16_t handle = 1; handle <= shared_handles; ++handle)
        expected.emplace_back(handle, std::max({raised_to[0][handle], raised_to[1][handle], raised_to[2][handle], raised_to[3][handle]}));
    EXPECT_EQ(entries_of(map), expected);
}

struct clock_test : ::testing::Test {
    std::unique_ptr<tavo::arena_t> arena = std::make_unique<tavo::arena_t>();

    sync_clock_t& make(const entries_t& entries) {
        sync_clock_t* clock = sync_clock_t::create(*arena);
        for (auto [handle, time] : entries) clock->raise_to(handle, time, *arena);
        return *clock;
    }
};

TEST_F(clock_test, JoinWithoutBucketsReportsOnceAndStillRaisesWhatItFinds) {
    sync_clock_t& destination = make({{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}});
    sync_clock_t& source = make({{1, 5}, {9, 1}, {10, 1}, {2, 6}});
    arena->limit_heap_segments(0);
    while (arena->allocate(65520) != nullptr) {}
    test::take_stops();

    destination.join(&source, *arena);
    const auto raised = test::take_stops();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].reason, tavo::error::out_of_memory);
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
    const entries_t final_entries = entries_of(destination);
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
    EXPECT_EQ(entries_of(object), entries_t{});

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
    EXPECT_EQ(entries_of(object), (entries_t{{1, times[0]}, {2, times[1]}, {3, 2}}));
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

// A wait-list node that cannot be had loses only that fork: the earlier ones are still waited for.
TEST(SyncOperation, ForksRecordedBeforeAnExhaustedArenaStayOnTheWaitList) {
    _TAVO_enterGenericTask(3, 1);
    tavo::task_context_t& task = current_task();
    task.arena.limit_heap_segments(0);
    std::size_t forks = 0;
    while (test::take_stops().empty()) {
        _TAVO_syncForkTaskCurrent();
        ++forks;
    }
    std::size_t listed = 0;
    for (const tavo::wait_node_t* node = task.wait_list; node != nullptr; node = node->next) ++listed;
    EXPECT_EQ(listed, forks - 1);
    EXPECT_GT(listed, 1000u);
    _TAVO_syncTaskwaitCurrent();
    EXPECT_EQ(task.wait_list, nullptr);
    _TAVO_leaveGenericTask(3, 1);
}

// Tasks take turns on two objects, each turn an acquire, a release, a releasing store or a relaxed
// store, checked against vector clocks kept here: a release that raises only the task's own entry
// must leave the object as a whole merge would, also after acquires elsewhere and emptying stores.
TEST(SyncOperation, ReleasesLeaveTheObjectAsAWholeMergeWould) {
    using model_clock_t = std::map<std::uint16_t, std::uint64_t>;
    constexpr int threads = 3, objects = 2, rounds = 2000;
    std::atomic<int> turn{0};
    model_clock_t tasks[threads], held[objects];
    int wrong = 0;
    const auto join = [](model_clock_t& into, const model_clock_t& from) {
        for (const auto& [handle, time] : from) into[handle] = std::max(into[handle], time);
    };
    const auto differs = [](sync_clock_t& clock, const model_clock_t& model) { return entries_of(clock) != entries_t(model.begin(), model.end()); };
    test::run_together(threads, [&](int worker) {
        _TAVO_enterGenericTask(3, 950 + static_cast<std::uint64_t>(worker));
        tavo::task_context_t& task = current_task();
        model_clock_t& mine = tasks[worker];
        task.clock.for_each_live([&](pinned_slot_t& entry) { mine[entry.handle()] = entry.value(); });
        std::uint32_t random = 29 + static_cast<std::uint32_t>(worker);
        for (int round = 0; round < rounds; ++round) {
            while (turn.load() % threads != worker) std::this_thread::yield();
            random = random * 1103515245u + 12345u;
            const std::uint32_t id = (random >> 24) % objects;
            const tavo::sync_object_t object{1, 600 + id};
            model_clock_t& its = held[id];
            const std::uint32_t step = (random >> 16) % 8;
            if (step < 3) {
                tavo::sync_operation(object, tavo::memory_order::acquire, 0);
                join(mine, its);
            } else if (step < 7) {
                const bool stores = step == 6;
                bool covered = true;
                for (const auto& [handle, time] : its) covered &= mine.count(handle) != 0 && mine.at(handle) >= time;
                tavo::sync_operation(object, stores ? tavo::memory_order::store_release : tavo::memory_order::release, 0);
                if (stores && !covered) its.clear();
                mine[task.handle] = task.time;
                join(its, mine);
            } else {
                tavo::sync_operation(object, tavo::memory_order::store_relaxed, 0);
                its.clear();
            }
            if (differs(task.clock, mine)) ++wrong;
            if (tavo::object_clock_t* clock = tavo::find_clock(object); clock != nullptr ? differs(*clock, its) : !its.empty())
                ++wrong;
            turn.fetch_add(1);
        }
        while (turn.load() < threads * rounds) std::this_thread::yield();
        _TAVO_leaveGenericTask(3, 950 + static_cast<std::uint64_t>(worker));
    });
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(test::take_stops().empty());
}

// A task's fence clock holds what it had acquired at its release fence; a task that ends leaves it
// as it leaves every other clock, or a later task given the same handle would inherit its ordering.
TEST(SyncOperation, AnEndedTaskLeavesTheFenceClocksOfOthers) {
    std::atomic<int> step{0};
    std::uint16_t ended = 0;
    std::thread other([&] {
        _TAVO_enterGenericTask(3, 4242);
        ended = current_task().handle;
        _TAVO_syncRelease(1, 0x6060);
        step.store(1);
        while (step.load() != 2) std::this_thread::yield();
        _TAVO_leaveGenericTask(3, 4242);
    });
    while (step.load() != 1) std::this_thread::yield();
    tavo::task_context_t& task = current_task();
    _TAVO_syncAcquire(1, 0x6060);
    tavo::fence_on(*tavo::obtain_thread_record(), false, true, 0);
    EXPECT_NE(task.fence_clock.time_of(ended), 0u);
    step.store(2);
    other.join();
    EXPECT_EQ(task.fence_clock.time_of(ended), 0u);
    EXPECT_TRUE(test::take_stops().empty());
}

}  // namespace
