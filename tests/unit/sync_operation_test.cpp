// The sync operation's failure paths and its behaviour under concurrent tasks.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "runtime/runtime.h"
#include "sync/sync_object.h"
#include "sync/sync_operation.h"
#include "task/fork.h"
#include "task/task_context.h"
#include "test_support.h"

namespace {

tavo::task_context_t& current_task() { return *tavo::obtain_thread_record()->current_task; }

}  // namespace

TEST(SyncOperation, InvalidMemoryOrdersAreReportedAndLoggedAsAsked) {
    tavo::task_context_t& task = current_task();
    tavo::logging_mask = 0x80;
    testing::internal::CaptureStderr();
    tavo::sync_operation({1, 0x20}, 4, 0x111);
    tavo::sync_operation({1, 0x20}, 6, 0x222);
    const std::string text = testing::internal::GetCapturedStderr();
    tavo::logging_mask = 0;
    EXPECT_EQ(test::take_raised_errors(), (test::raised_errors_t{{-29988, 0x111}, {-29988, 0x222}}));
    EXPECT_NE(text.find(" acquires and releases sync object 1.20 at 1. State (handle, time):\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" <error> sync object 1.20 at 1. State (handle, time):\n"), std::string::npos) << text;
    EXPECT_EQ(task.time, 1u);
}

// A wait-list node that cannot be had loses only that fork: the earlier ones are still waited for.
TEST(SyncOperation, ForksRecordedBeforeAnExhaustedArenaStayOnTheWaitList) {
    _TAVO_enterGenericTask(3, 1);
    tavo::task_context_t& task = current_task();
    task.arena.limit_heap_segments(0);
    std::size_t forks = 0;
    while (test::take_raised_errors().empty()) {
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

// A thread remembers the clocks it found; another thread's destroy must still take effect for it.
TEST(SyncOperation, DestroyOnAnotherThreadIsSeenByAThreadThatRememberedTheClock) {
    const tavo::sync_object_t object{1, 0x5150};
    tavo::object_clock_t* first = tavo::get_or_create_clock(object);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(tavo::find_clock(object), first);
    std::thread([&] { tavo::remove_object(object); }).join();
    EXPECT_EQ(tavo::find_clock(object), nullptr);
    tavo::object_clock_t* second = tavo::get_or_create_clock(object);
    EXPECT_NE(second, first);
    EXPECT_EQ(tavo::find_clock(object), second);
    tavo::remove_object(object);
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
    const auto differs = [](tavo::sync_clock_t& clock, const model_clock_t& model) {
        std::size_t live = 0;
        bool different = false;
        clock.for_each_live([&](tavo::pinned_slot_t& entry) {
            ++live;
            const auto found = model.find(entry.handle());
            different |= found == model.end() || found->second != entry.value();
        });
        return different || live != model.size();
    };
    test::run_together(threads, [&](int worker) {
        _TAVO_enterGenericTask(3, 950 + static_cast<std::uint64_t>(worker));
        tavo::task_context_t& task = current_task();
        model_clock_t& mine = tasks[worker];
        task.clock.for_each_live([&](tavo::pinned_slot_t& entry) { mine[entry.handle()] = entry.value(); });
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
    EXPECT_TRUE(test::take_raised_errors().empty());
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
    EXPECT_TRUE(test::take_raised_errors().empty());
}
