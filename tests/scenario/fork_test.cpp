// Fork, join and task wait: the parent's side, as the log shows it.
#include <gtest/gtest.h>

#include <thread>

#include "harness.h"
#include "task_log.h"

using scenario::in_child;
using scenario::initial;
using scenario::label;
using scenario::stop_reasons;
using reasons = std::vector<std::int32_t>;

namespace {

void run_logged_child(const char* guard = "0xffffffff") {
    const auto result = scenario::rerun_in_child({{"TAVO_LOGGING", "0x94"}, {"TAVO_GUARD", guard}});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
}

std::string sync_line(const std::string& task, const char* operation, const char* object, int time,
                      const char* clock) {
    return task + " " + operation + " sync object " + object + " at " + std::to_string(time) +
           ". State (handle, time):" + clock + "\n";
}

}  // namespace

TEST(Fork, ForksPublishTheParentAndTaskWaitTakesTheChildrenIn) {
    if (!in_child()) return run_logged_child();
    EXPECT_EQ(_TAVO_syncForkTaskCurrent(), 1u);
    scenario::stderr_capture_t capture;
    EXPECT_EQ(_TAVO_syncForkTask(2, 0), 2u);
    const std::string parent = initial(1);
    std::string child;
    std::thread([&] {  // a child: takes the start object, works, publishes its end
        child = initial(2);
        _TAVO_syncAcquire(5, 2);
        _TAVO_syncRelease(6, 2);
    }).join();
    _TAVO_syncTaskwaitCurrent();
    const std::string child_end = child + " task leaves at ";  // the site of the child's last entry
    auto logged = capture.finish();
    const std::size_t end_line = logged.find(child_end);
    ASSERT_NE(end_line, std::string::npos) << logged;
    logged.erase(end_line + child_end.size(), 16);
    EXPECT_EQ(logged,
              sync_line(parent, "releases", "5.2", 3, " (1, 3)") + sync_line(parent, "acquires", "6.2", 3, " (1, 3)") +
                  parent + " task forks\n" +
                  child + " task enters\n" + sync_line(child, "acquires", "5.2", 1, " (1, 3)") +
                  sync_line(child, "releases", "6.2", 2, " (1, 3) (2, 2)") +
                  child_end + "\n" + parent + " task waits\n" +
                  sync_line(parent, "acquires", "6.2", 3, " (1, 3)") + sync_line(parent, "destroys", "6.2", 3, " (1, 3)") +
                  sync_line(parent, "acquires", "6.1", 3, " (1, 3)") + sync_line(parent, "destroys", "6.1", 3, " (1, 3)"));
}

TEST(Fork, ChildStillLiveAtTheWaitIsOrderedBeforeTheParent) {
    if (!in_child()) return run_logged_child();
    _TAVO_enterGenericTask(3, 1);  // handle 2
    const std::uint64_t fork_id = _TAVO_syncForkTaskCurrent();
    std::thread child([&] {
        _TAVO_enterGenericTask(3, 2);  // handle 4, over this thread's initial task's 3
        _TAVO_syncAcquire(5, fork_id);
        _TAVO_syncRelease(6, fork_id);
        scenario::stderr_capture_t capture;
        _TAVO_syncTaskwait(3, 1);  // not in this thread's chain
        EXPECT_EQ(capture.finish(), "tavo: no such task\n");
        _TAVO_leaveGenericTask(3, 2);
    });
    while (stop_reasons().size() < 3) std::this_thread::yield();
    // The child's task lines, its thread's last among them, must not reach the capture below.
    child.join();
    scenario::stderr_capture_t capture;
    _TAVO_syncTaskwait(3, 1);
    // By now the child has ended, and its handle was retired from every clock.
    EXPECT_EQ(capture.finish(), label(3, 1, 2) + " task waits\n" +
                                    sync_line(label(3, 1, 2), "acquires", "6.1", 2, " (2, 2)") +
                                    sync_line(label(3, 1, 2), "destroys", "6.1", 2, " (2, 2)"));
}

TEST(Fork, NamedOuterTaskGetsTheNodeWhileTheCurrentTaskPublishes) {
    if (!in_child()) return run_logged_child();
    _TAVO_enterGenericTask(3, 1);  // handle 2
    _TAVO_enterGenericTask(0, 2);  // handle 3
    scenario::stderr_capture_t capture;
    const std::uint64_t fork_id = _TAVO_syncForkTask(3, 1);
    _TAVO_syncTaskwaitCurrent();  // the inner task waits for nothing
    _TAVO_leaveGenericTaskFrom(0, 2, 0);
    _TAVO_syncTaskwait(3, 1);
    const std::string inner = label(0, 2, 3), outer = label(3, 1, 2);
    const std::string end = "6." + std::to_string(fork_id);
    EXPECT_EQ(capture.finish(),
              sync_line(inner, "releases", ("5." + std::to_string(fork_id)).c_str(), 2, " (3, 2)") +
                  sync_line(inner, "acquires", end.c_str(), 2, " (3, 2)") + outer + " task forks\n" +
                  inner + " task waits\n" + inner + " task leaves\n" + outer + " task waits\n" +
                  sync_line(outer, "acquires", end.c_str(), 1, "") + sync_line(outer, "destroys", end.c_str(), 1, ""));
}

TEST(Fork, JoinTakesOneForkAndWaitsIgnoreForksWithoutWait) {
    if (!in_child()) return run_logged_child();
    _TAVO_syncAllocate();
    const std::uint64_t nowait = _TAVO_syncForkTaskNowait();
    const std::uint64_t joined = _TAVO_syncForkTaskCurrent();
    scenario::stderr_capture_t capture;
    _TAVO_syncJoin(joined);
    _TAVO_syncTaskwaitCurrent();  // re-creates and destroys the joined fork's empty end object
    _TAVO_syncJoin(nowait);
    const std::string parent = initial(1);
    const auto object = [](int type, std::uint64_t id) { return std::to_string(type) + "." + std::to_string(id); };
    EXPECT_EQ(capture.finish(),
              sync_line(parent, "acquires", object(6, joined).c_str(), 3, " (1, 3)") +
                  sync_line(parent, "destroys", object(6, joined).c_str(), 3, " (1, 3)") +
                  sync_line(parent, "destroys", object(5, joined).c_str(), 3, " (1, 3)") + parent + " task waits\n" +
                  sync_line(parent, "acquires", object(6, joined).c_str(), 3, " (1, 3)") +
                  sync_line(parent, "destroys", object(6, joined).c_str(), 3, " (1, 3)") +
                  sync_line(parent, "acquires", object(6, nowait).c_str(), 3, " (1, 3)") +
                  sync_line(parent, "destroys", object(6, nowait).c_str(), 3, " (1, 3)") +
                  sync_line(parent, "destroys", object(5, nowait).c_str(), 3, " (1, 3)"));
}

TEST(Fork, WithSynchronisationOffForksStillHandOutIds) {
    if (!in_child()) return run_logged_child("0xffffffbf");
    _TAVO_syncAllocate();
    scenario::stderr_capture_t capture;
    EXPECT_EQ(_TAVO_syncForkTask(3, 1), 2u);
    _TAVO_syncTaskwait(3, 1);
    EXPECT_EQ(_TAVO_syncForkTaskCurrent(), 3u);  // acts on the current task: the node is recorded
    EXPECT_EQ(capture.finish(), initial(1) + " task forks\n");
}

TEST(Fork, ThreadWithoutATaskForksNothing) {
    if (!in_child()) return run_logged_child();
    _TAVO_leaveGenericTask(1, scenario::thread_id());
    scenario::stderr_capture_t capture;
    EXPECT_EQ(_TAVO_syncForkTaskCurrent(), 1u);
    EXPECT_EQ(_TAVO_syncForkTask(4, 0), 2u);
    _TAVO_syncTaskwaitCurrent();
    _TAVO_syncTaskwait(2, 0);
    EXPECT_EQ(capture.finish(), "");
    _TAVO_enterGenericTask(0, 1);
}
