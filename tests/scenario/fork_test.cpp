// Fork, join and task wait: the parent's side, as the log shows it.
#include <gtest/gtest.h>

#include <thread>

#include "harness.h"
#include "task_log.h"

using scenario::in_child;
using scenario::initial;

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

TEST(Fork, WithSynchronisationOffForksStillHandOutIds) {
    if (!in_child()) return run_logged_child("0xffffffbf");
    _TAVO_syncAllocate();
    scenario::stderr_capture_t capture;
    EXPECT_EQ(_TAVO_syncForkTask(3, 1), 2u);
    _TAVO_syncTaskwait(3, 1);
    EXPECT_EQ(_TAVO_syncForkTaskCurrent(), 3u);  // acts on the current task: the node is recorded
    EXPECT_EQ(capture.finish(), initial(1) + " task forks\n");
}
