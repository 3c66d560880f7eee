// Task contexts under concurrent entry and exit, handle retirement, and the tsm code filter's
// say over which tasks are checked.
#include <gtest/gtest.h>

#include "filter/filter_object.h"
#include "runtime/runtime.h"
#include "task/ended_tasks.h"
#include "task/task_context.h"
#include "task/task_table.h"
#include "test_support.h"

namespace {

tavo::task_context_t* current_task() { return tavo::find_thread_record()->current_task; }

// Installs a tsm filter for the test's duration, as a filter batch would.
class tsm_filter_t {
public:
    tsm_filter_t(std::uint32_t polarity, tavo::range_t code_range) : filter_(tavo::new_filter_object(polarity)) {
        if (code_range.length != 0) filter_->code.insert(code_range);
        tavo::runtime.tsm.filter.store(filter_, std::memory_order_release);
    }
    ~tsm_filter_t() {
        tavo::runtime.tsm.filter.store(nullptr);
        tavo::heap_delete(filter_);
    }

private:
    tavo::filter_object_t* filter_;
};

struct flags_t {
    explicit flags_t(std::uint32_t flags) { __tavo_config.flags = flags; }
    ~flags_t() { __tavo_config.flags = 0; }
};

}  // namespace

// Workers enter and leave tasks while each live task names itself in a long-lived task's clock:
// no handle is ever held by two live tasks, and once every worker task has ended, retirement has
// erased every one of their handles from that clock.
TEST(TaskModel, ConcurrentEntryAndExitRetireEveryHandle) {
    _TAVO_enterGenericTask(3, 1000);
    tavo::task_context_t* keeper = current_task();
    static std::atomic<int> owners[65536];
    std::atomic<int> duplicates{0};
    test::run_together(8, [&](int worker) {
        for (int round = 0; round < 400; ++round) {
            const std::uint64_t id = static_cast<std::uint64_t>(worker) * 100000 + round;
            _TAVO_enterGenericTask(0, id);
            tavo::task_context_t* task = current_task();
            int expected = 0;
            if (!owners[task->handle].compare_exchange_strong(expected, worker + 1)) duplicates.fetch_add(1);
            keeper->clock.raise_to(task->handle, task->time, tavo::runtime.arena);
            owners[task->handle].store(0);
            _TAVO_leaveGenericTask(0, id);
        }
    });
    EXPECT_EQ(duplicates.load(), 0);
    EXPECT_EQ(keeper->clock.entry_count(), 0u);
    _TAVO_leaveGenericTask(3, 1000);
    EXPECT_TRUE(test::take_raised_errors().empty());
}

TEST(TaskModel, NestedEntriesOfOneTaskFindTheInnerOne) {
    _TAVO_enterGenericTask(3, 7);
    tavo::task_context_t* outer = current_task();
    _TAVO_enterGenericTask(3, 7);
    tavo::task_context_t* inner = current_task();
    EXPECT_NE(inner, outer);
    EXPECT_EQ(inner->parent, outer);
    _TAVO_leaveGenericTask(3, 7);
    EXPECT_EQ(current_task(), outer);
    _TAVO_leaveGenericTask(3, 7);
    EXPECT_TRUE(test::take_raised_errors().empty());
}

TEST(TaskModel, FocusWithNoCodeRangesExemptsEveryTask) {
    const flags_t flags(TAVO_FLAG_TSM);
    const tsm_filter_t filter(tavo::polarity_focus, {0, 0});
    _TAVO_enterGenericTaskFrom(3, 1, 0x1000);
    EXPECT_TRUE(current_task()->exempt());
    _TAVO_enterGenericTaskFrom(2, 2, 0x1000);  // not watched, so it gets a context of its own
    EXPECT_EQ(current_task()->type, 2);
    EXPECT_TRUE(current_task()->exempt());
    _TAVO_leaveGenericTaskFrom(2, 2, 0);
    _TAVO_leaveGenericTaskFrom(3, 1, 0);
    EXPECT_TRUE(test::take_raised_errors().empty());
}

TEST(TaskModel, SuppressedSitesExemptTasksOnlyWhileDataSharingIsOn) {
    const tsm_filter_t filter(tavo::polarity_suppress, {0x400000, 0x100});
    {
        const flags_t flags(TAVO_FLAG_TSM);
        _TAVO_enterGenericTaskFrom(3, 1, 0x400100);  // the range's end is inside
        EXPECT_TRUE(current_task()->exempt());
        _TAVO_enterGenericTaskFrom(0, 2, 0x400101);
        EXPECT_TRUE(current_task()->exempt()) << "inherited from the parent";
        _TAVO_leaveGenericTaskFrom(0, 2, 0);
        _TAVO_leaveGenericTaskFrom(3, 1, 0);
        _TAVO_enterGenericTaskFrom(3, 3, 0x3FFFFF);
        EXPECT_FALSE(current_task()->exempt());
        tavo::task_context_t* watched = current_task();
        _TAVO_enterGenericTaskFrom(2, 4, 0x500000);  // watched: runs in its enclosing task
        EXPECT_EQ(current_task(), watched);
        _TAVO_enterGenericTaskFrom(2, 5, 0x400000);  // suppressed: a context of its own, exempt
        EXPECT_EQ(current_task()->type, 2);
        EXPECT_TRUE(current_task()->exempt());
        _TAVO_leaveGenericTaskFrom(2, 5, 0);
        _TAVO_leaveGenericTaskFrom(2, 4, 0);
        EXPECT_EQ(current_task(), watched);
        _TAVO_leaveGenericTaskFrom(3, 3, 0);
    }
    _TAVO_enterGenericTaskFrom(3, 6, 0x400000);
    EXPECT_FALSE(current_task()->exempt());
    __tavo_config.flags = TAVO_FLAG_TSM | TAVO_FLAG_NO_TASK_FILTER;
    _TAVO_enterGenericTaskFrom(2, 7, 0x400000);  // the code filter is not consulted: no context
    EXPECT_EQ(current_task()->id, 6u);
    _TAVO_leaveGenericTaskFrom(2, 7, 0);
    __tavo_config.flags = 0;
    _TAVO_leaveGenericTaskFrom(3, 6, 0);
    EXPECT_TRUE(test::take_raised_errors().empty());
}

TEST(TaskModel, NinthLiveTaskExtendsTheTableAndFreedSlotsAreReused) {
    _TAVO_enterGenericTask(3, 0);  // the initial task and this one hold two slots
    for (std::uint64_t id = 1; id <= 7; ++id) _TAVO_enterGenericTask(0, id);
    EXPECT_EQ(tavo::task_table.bucket_count(), 2u);
    EXPECT_EQ(current_task()->handle, 9);
    for (std::uint64_t id = 7; id >= 1; --id) _TAVO_leaveGenericTask(0, id);
    for (std::uint64_t id = 1; id <= 6; ++id) _TAVO_enterGenericTask(0, id);
    EXPECT_EQ(tavo::task_table.bucket_count(), 2u);
    EXPECT_EQ(tavo::task_table.entry_count(), 8u);
    for (std::uint64_t id = 6; id >= 1; --id) _TAVO_leaveGenericTask(0, id);
    _TAVO_leaveGenericTask(3, 0);
    EXPECT_TRUE(test::take_raised_errors().empty());
}

// Entries and exits on several threads recompute the mask without the lock when nothing changed:
// once they are over, the mask must agree with the counts, whatever the interleaving was.
TEST(TaskModel, ActiveMaskAgreesWithTheCountsAfterConcurrentEntriesAndExits) {
    for (int trial = 0; trial < 20; ++trial) {
        test::run_together(4, [](int worker) {
            for (int round = 0; round < 500; ++round) {
                _TAVO_enterGenericTask(3, static_cast<std::uint64_t>(worker));
                _TAVO_leaveGenericTask(3, static_cast<std::uint64_t>(worker));
            }
        });
        ASSERT_EQ(__TAVO_isGuardedCall, 0xFFFFFFE1u) << "trial " << trial;
    }
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
