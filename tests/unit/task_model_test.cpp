// Task contexts under concurrent entry and exit, handle retirement, the active mask, and
// ended tasks kept up to their bound.
#include <gtest/gtest.h>

#include "runtime/runtime.h"
#include "sync/sync_object.h"
#include "task/ended_tasks.h"
#include "task/task_context.h"
#include "task/task_table.h"
#include "test_support.h"

namespace {

tavo::task_context_t* current_task() { return tavo::find_thread_record()->current_task; }

struct flags_t {
    explicit flags_t(std::uint32_t flags) { __tavo_config.flags = flags; }
    ~flags_t() { __tavo_config.flags = 0; }
};

}  // namespace

// Workers enter and leave tasks, each naming itself in a long-lived task's clock and releasing
// into and acquiring from shared objects: no handle is ever held by two live tasks, a task finds
// its own published time after acquiring, and once every worker task has ended, retirement has
// erased their handles from every clock, and the active mask, recomputed without the lock when
// nothing changed, is the quiet one again (the keeper's type makes no concurrency).
TEST(TaskModel, ConcurrentEntriesAndExitsRetireEveryHandle) {
    flags_t flags(TAVO_FLAG_TSM);
    _TAVO_enterGenericTask(0, 1000);
    tavo::task_context_t* keeper = current_task();
    static std::atomic<int> owners[65536];
    std::atomic<int> faults{0};
    for (int trial = 0; trial < 10; ++trial) {
        test::run_together(6, [&](int worker) {
            for (int round = 0; round < 200; ++round) {
                const std::uint64_t id = static_cast<std::uint64_t>(worker) * 100000 + round;
                _TAVO_enterGenericTask(3, id);
                tavo::task_context_t* task = current_task();
                int expected = 0;
                if (!owners[task->handle].compare_exchange_strong(expected, worker + 1)) faults.fetch_add(1);
                keeper->clock.raise_to(task->handle, task->time, tavo::runtime.arena);
                _TAVO_syncRelease(1, round % 3);
                const std::uint64_t published = task->time;
                _TAVO_syncAcquire(1, round % 3);
                if (task->clock.time_of(task->handle) != published) faults.fetch_add(1);
                owners[task->handle].store(0);
                _TAVO_leaveGenericTask(3, id);
            }
        });
        ASSERT_EQ(__TAVO_isGuardedCall, 0xFFFFFFE1u) << "trial " << trial;
    }
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(keeper->clock.entry_count(), 0u);
    for (std::uint64_t id = 0; id < 3; ++id) {
        tavo::sync_clock_t* clock = tavo::find_clock({1, id});
        EXPECT_EQ(clock != nullptr ? clock->entry_count() : 0u, 0u) << id;
    }
    _TAVO_leaveGenericTask(0, 1000);
    EXPECT_TRUE(test::take_raised_errors().empty());
}

// Threads end tasks that wrote a shared array and that nobody joins, while other threads' tasks
// read it and find the ended ones: all are kept until the bound, then forgotten oldest first by
// whichever thread ends a task, under the sanitizers' eyes.
TEST(TaskModel, EndedTasksNobodyJoinsAreKeptUpToTheBound) {
    flags_t flags(TAVO_FLAG_TSM | TAVO_FLAG_KEEP_ENDED_TASKS);
    static std::uint64_t shared[32];
    constexpr int threads = 4, rounds = 400;
    _TAVO_enterGenericTask(3, 1000);  // a live task that orders none of them
    test::run_together(threads, [&](int worker) {
        for (int round = 0; round < rounds; ++round) {
            const std::uint64_t id = static_cast<std::uint64_t>(worker) * rounds + round;
            _TAVO_enterGenericTask(0, id);
            _TAVO_writeMemory(&shared[id % 32], 8);
            _TAVO_readMemory(&shared[(id + 1) % 32], 8);
            _TAVO_leaveGenericTask(0, id);
        }
    });
    std::size_t kept = 0;
    for (std::uint64_t id = 0; id < threads * rounds; ++id) kept += tavo::ended_task_kept(0, id);
    EXPECT_EQ(kept, tavo::kept_task_limit);
    _TAVO_leaveGenericTask(3, 1000);
}

// A thread being created will start from its creator's clock at the fork, which may order less than
// the live tasks do by then: while such a start is pending, a task the live tasks order stays kept.
TEST(TaskModel, EndedTaskStaysKeptWhileAThreadStartIsPending) {
    flags_t flags(TAVO_FLAG_TSM | TAVO_FLAG_KEEP_ENDED_TASKS);
    static std::uint64_t word;
    // A thread's initial task, ended with the thread after it has handed over through a lock.
    const auto thread_task = [](bool writes) {
        std::uint64_t id = 0;
        test::run_together(1, [&](int) {
            _TAVO_syncAcquire(1, 77);
            if (writes) _TAVO_writeMemory(&word, 8);
            _TAVO_syncRelease(1, 77);
            id = current_task()->id;
        });
        return id;
    };
    _TAVO_activateTaskType(3);  // checking on, this thread's initial task live beside theirs
    tavo::hold_ended_tasks();
    const std::uint64_t writer = thread_task(true);
    _TAVO_syncAcquire(1, 77);
    thread_task(false);
    EXPECT_TRUE(tavo::ended_task_kept(1, writer));
    tavo::release_ended_tasks();
    thread_task(false);
    EXPECT_FALSE(tavo::ended_task_kept(1, writer));
    _TAVO_enterGenericTask(3, 1);  // lowers the activation again
    _TAVO_leaveGenericTask(3, 1);
}
