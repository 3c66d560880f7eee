// Streams that the library and the model must agree on: faults the differential test found,
// shrunk and pasted here, and a few written by hand that pin down what the model says.
#include <gtest/gtest.h>

#include "executor.h"

using namespace differential;

namespace {

// Runs the stream both ways; returns the library's outcome for further checks.
outcome_t expect_agreement(stream_t stream) {
    complete(stream);
    const outcome_t library = run_library(stream);
    const outcome_t model = run_model(stream, library_model_options());
    EXPECT_EQ(compare(library, model), "");
    return library;
}

std::vector<std::int32_t> reasons(const outcome_t& outcome) {
    std::vector<std::int32_t> result;
    for (const stop_t& stop : outcome.stops) result.push_back(stop.reason);
    return result;
}

constexpr std::uint32_t checking = TAVO_FLAG_TSM | TAVO_FLAG_RE;

}  // namespace

TEST(differential_by_hand, task_nesting_errors_and_tear_down) {
    stream_t s;
    s.debugger(action().flags(checking));
    s.enter_task(0, 3, 1, 0x1000).enter_task(0, 0, 2, 0x1008);
    s.leave_task(0, 3, 1, 0x2000);   // not the current task: a nesting error at the exit's site
    s.leave_task(0, 3, 9, 0x2004);   // not in the chain: a nesting error at the thread's site
    s.enter_task(1, 7, 1, 0x3000);   // an invalid type
    s.thread_exit(0);                // the initial task and task 2 are open: one more nesting error
    const outcome_t outcome = expect_agreement(s);
    EXPECT_EQ(reasons(outcome), (std::vector<std::int32_t>{-29995, -29995, -29990, -29995}));
    ASSERT_EQ(outcome.stops.size(), 4u);
    EXPECT_EQ(outcome.stops[0].site, 0x2000u);
    EXPECT_EQ(outcome.stops[1].site, 0x2000u);
    EXPECT_EQ(outcome.stops[2].site, 0x3000u);
}

TEST(differential_by_hand, filter_protocol_at_stops) {
    stream_t s;
    s.warn(0, -10001).at_stop(action().count(2).set(TAVO_REQUEST_ALLOCATE))
        .at_stop(action().record(1, 1, 2, 0x401000, 0x200).record(1, 1, 2, 0x401010, 0x10).set(TAVO_REQUEST_APPLY_FILTERS))
        .at_stop(action().clear(TAVO_REQUEST_APPLY_FILTERS).count(1).set(TAVO_REQUEST_APPLY_FILTERS));
    const outcome_t outcome = expect_agreement(s);
    // The warning, the allocation, the second record's duplicate, then the first record alone.
    EXPECT_EQ(reasons(outcome), (std::vector<std::int32_t>{-10001, 3, -29997, 3}));
    ASSERT_EQ(outcome.stops.size(), 4u);
    EXPECT_EQ(outcome.stops[2].config.filter_count, 1u);
}

TEST(differential_by_hand, fork_ids_and_returned_values) {
    stream_t s;
    s.debugger(action().flags(checking));
    s.allocate(0).fork_current(0).fork_nowait(1).fork(0, 3, 42).join(0, 2).taskwait_current(0);
    const outcome_t outcome = expect_agreement(s);
    EXPECT_EQ(outcome.results, (std::vector<std::uint64_t>{1, 2, 3, 4}));
    EXPECT_EQ(reasons(outcome), (std::vector<std::int32_t>{-29991}));
}

TEST(differential_by_hand, requests_while_running_are_polled_by_the_next_entry) {
    stream_t s;
    s.enter_task(0, 3, 1, 0x1000);
    s.debugger(action().set(TAVO_REQUEST_PING | TAVO_REQUEST_RESET_TSM).version(2));
    s.sync(op_t::release, 0, 1, 1);
    s.debugger(action().set(0x80));
    s.sync(op_t::acquire, 1, 1, 1).at_stop(action().clear(0x80));
    const outcome_t outcome = expect_agreement(s);
    // Thread 0 ends inside its task 1 on top of its initial task: a nesting error.
    EXPECT_EQ(reasons(outcome), (std::vector<std::int32_t>{-10000, 4, 3, -29999, -29995}));
}

TEST(differential_by_hand, weak_release_into_an_object_nobody_made_publishes_nothing) {
    if (!library_model_options().tsm) GTEST_SKIP() << "the data-sharing check is not in this build";
    stream_t s;
    s.debugger(action().flags(TAVO_FLAG_TSM));
    s.enter_task(0, 3, 1, 0x1000).enter_task(1, 3, 2, 0x1000);
    s.write(0, 0x10000, 4);
    s.sync(op_t::acquire_weak, 0, 1, 9).sync(op_t::release_weak, 0, 1, 9);  // no such object: no effect
    s.sync(op_t::acquire, 1, 1, 9);
    s.write(1, 0x10000, 4);
    const outcome_t outcome = expect_agreement(s);
    ASSERT_EQ(reasons(outcome), (std::vector<std::int32_t>{256, -29995, -29995}));
    EXPECT_EQ(outcome.stops[0].offended.size(), 1u);
}

TEST(differential_by_hand, a_reused_handle_inherits_no_ordering) {
    if (!library_model_options().tsm) GTEST_SKIP() << "the data-sharing check is not in this build";
    stream_t s;
    s.debugger(action().flags(TAVO_FLAG_TSM));
    s.enter_task(0, 3, 1, 0x1000).enter_task(1, 3, 2, 0x1000);
    s.sync(op_t::release, 0, 1, 1);      // the object now knows task 1's handle
    s.leave_task(0, 3, 1, 0x1004);       // ... which is retired from it
    s.enter_task(0, 3, 3, 0x1000);       // task 3 gets the handle again
    s.write(0, 0x10008, 8);
    s.sync(op_t::acquire, 1, 1, 1);      // must not order task 3's write before task 2
    s.write(1, 0x10008, 8);
    const outcome_t outcome = expect_agreement(s);
    ASSERT_FALSE(outcome.stops.empty());
    EXPECT_EQ(outcome.stops[0].reason, TAVO_EVENT_DATA_SHARING);
    EXPECT_EQ(outcome.stops[0].offending.task_id, 2u);
    ASSERT_EQ(outcome.stops[0].offended.size(), 1u);
    EXPECT_EQ(outcome.stops[0].offended[0].task_id, 3u);
}

TEST(differential_by_hand, accesses_spanning_granules_meet_once) {
    if (!library_model_options().tsm) GTEST_SKIP() << "the data-sharing check is not in this build";
    stream_t s;
    s.debugger(action().flags(TAVO_FLAG_TSM));
    s.enter_task(0, 3, 1, 0x1000).enter_task(1, 3, 2, 0x1000);
    s.write(0, 0x10006, 12);  // three granules
    s.read(1, 0x10004, 16);   // three granules, each meeting the write
    s.atomic(0, 0x10020, 1).atomic(1, 0x10020, 1);  // atomic against atomic: nothing
    const outcome_t outcome = expect_agreement(s);
    ASSERT_FALSE(outcome.stops.empty());
    EXPECT_EQ(outcome.stops[0].reason, TAVO_EVENT_DATA_SHARING);
    EXPECT_EQ(outcome.stops[0].offending.address, 0x10004u);
    ASSERT_EQ(outcome.stops[0].offended.size(), 1u);
    EXPECT_EQ(outcome.stops[0].offended[0].address, 0x10006u);
    EXPECT_EQ(outcome.stops[0].offended[0].size, 12u);
    EXPECT_EQ(reasons(outcome), (std::vector<std::int32_t>{256, -29995, -29995}));
}

// Printed by the differential test for a library that did not retire an ended task's handle from
// the sync objects' clocks (broken on purpose): task 3 inherited task (1, thread 2)'s ordering.
TEST(differential_regression, handle_retired_from_sync_objects) {
    stream_t s;
    s.debugger(action().flags(0x20000003));
    s.enter_thread_task(1, 1, 2, 0x1000);
    s.plain(op_t::release, 1, 1, 0x1, false);
    s.leave_thread_task(1, 1, 2, 0x2004);
    s.enter_task(1, 3, 0x3, 0x2004);
    s.plain(op_t::acquire, 2, 1, 0x1, false);
    s.write(1, 0x10008, 16, 2);
    s.write(2, 0x10015, 12, 2);
    s.thread_exit(0);
    s.thread_exit(1);
    s.thread_exit(2);
    expect_agreement(s);
}

// Found by the differential test: an entry of a type-4 task did not recompute the active mask, so
// the data-sharing check that the debugger switched on while the program ran stayed off for the
// writes, and the detection was missed.
TEST(differential_regression, uncounted_task_entry_recomputes_the_mask) {
    stream_t s;
    s.enter_task(0, 2, 0x4, 0x1000);
    s.plain(op_t::acquire, 2, 6, 0x4, false);
    s.debugger(action().flags(0x40000001));
    s.enter_thread_task(2, 4, 2, 0x3000);
    s.write(2, 0x10006, 8, 0);
    s.write(1, 0x10003, 5, 0);
    s.thread_exit(1);
    s.thread_exit(2);
    s.thread_exit(0);
    const outcome_t outcome = expect_agreement(s);
    ASSERT_FALSE(outcome.stops.empty());
    EXPECT_EQ(outcome.stops[0].reason, TAVO_EVENT_DATA_SHARING);
}
