// Synchronisation, forks and task waits as the log shows them: each operation with the task's time
// and its clock afterwards.
#include <thread>

#include "scenario.h"

using scenario::in_child;
using scenario::initial;

static std::string line(const std::string& task, const char* operation, const std::string& object, int time,
                 const char* clock) {
    return task + " " + operation + " sync object " + object + " at " + std::to_string(time) +
           ". State (handle, time):" + clock + "\n";
}

TEST(Sync, OperationsAsLogged) {
    if (!in_child()) return (void)scenario::run_child({{"TAVO_LOGGING", "0x84"}});
    _TAVO_syncAllocate();  // the main thread's initial task takes handle 1
    static int lock_object;
    const std::string address = "0." + scenario::hex(reinterpret_cast<std::uintptr_t>(&lock_object));
    _TAVO_syncAlias(0, reinterpret_cast<std::uintptr_t>(&lock_object), 4, 3);
    const std::string main = initial(1);
    std::string other;
    testing::internal::CaptureStderr();
    _TAVO_syncReleaseWeak(3, 0xab);  // weak operations act only on objects that exist
    _TAVO_syncAcquireWeak(3, 0xab);
    _TAVO_syncAcquire(1, 0x10);
    _TAVO_syncRelease(1, 0x10);
    _TAVO_syncReleaseWeak(1, 0x10);
    _TAVO_syncAcquireWeak(1, 0x10);
    _TAVO_syncAcquire(9, 1);  // invalid types are reported, not logged
    _TAVO_syncRelease(0xFFFFFFFFu, 1);
    __zuk_sync_releasing(&lock_object);  // notifications name objects by address, through aliases
    __zuk_notify_sync_acquired(&lock_object);
    __zuk_sync_destroy(&lock_object);
    __zuk_sync_prepare(&lock_object);
    __zuk_notify_sync_releasing(&lock_object);
    std::thread([&] {
        other = initial(2);
        _TAVO_syncRelease(2, 1);
        _TAVO_syncAcquire(1, 0x10);
    }).join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              line(main, "weak/not releases", "3.ab", 1, "") + line(main, "weak/not acquires", "3.ab", 1, "") +
                  line(main, "acquires", "1.10", 1, "") + line(main, "releases", "1.10", 2, " (1, 2)") +
                  line(main, "releases", "1.10", 3, " (1, 3)") + line(main, "acquires", "1.10", 3, " (1, 3)") +
                  "tavo: invalid sync type\ntavo: invalid sync type\n" +
                  line(main, "releases", "4.3", 4, " (1, 4)") + line(main, "acquires", "4.3", 4, " (1, 4)") +
                  line(main, "destroys", address, 4, " (1, 4)") + line(main, "releases", address, 5, " (1, 5)") +
                  line(other, "releases", "2.1", 2, " (2, 2)") + line(other, "acquires", "1.10", 2, " (2, 2) (1, 3)"));
    ASSERT_EQ(scenario::stop_reasons(), (reasons{5, 1, -29989, -29989}));
    EXPECT_NE(scenario::stops()[2].site, 0u);  // the operation's own call site
}

TEST(Fork, ForksPublishTheParentAndTaskWaitTakesTheChildrenIn) {
    if (!in_child()) return (void)scenario::run_child({{"TAVO_LOGGING", "0x94"}});
    EXPECT_EQ(_TAVO_syncForkTaskCurrent(), 1u);
    testing::internal::CaptureStderr();
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
    auto logged = testing::internal::GetCapturedStderr();
    const std::size_t end_line = logged.find(child_end);
    ASSERT_NE(end_line, std::string::npos) << logged;
    logged.erase(end_line + child_end.size(), 16);
    EXPECT_EQ(logged, line(parent, "releases", "5.2", 3, " (1, 3)") + line(parent, "acquires", "6.2", 3, " (1, 3)") +
                          parent + " task forks\n" + child + " task enters\n" +
                          line(child, "acquires", "5.2", 1, " (1, 3)") + line(child, "releases", "6.2", 2, " (1, 3) (2, 2)") +
                          child_end + "\n" + parent + " task waits\n" + line(parent, "acquires", "6.2", 3, " (1, 3)") +
                          line(parent, "destroys", "6.2", 3, " (1, 3)") + line(parent, "acquires", "6.1", 3, " (1, 3)") +
                          line(parent, "destroys", "6.1", 3, " (1, 3)"));
}

// Synchronisation off in the guard: forks still hand out ids, and only the fork is logged.
TEST(Fork, WithSynchronisationOffForksStillHandOutIds) {
    if (!in_child()) return (void)scenario::run_child({{"TAVO_LOGGING", "0x94"}, {"TAVO_GUARD", "0xffffffbf"}});
    _TAVO_syncAllocate();
    testing::internal::CaptureStderr();
    EXPECT_EQ(_TAVO_syncForkTask(3, 1), 2u);
    _TAVO_syncTaskwait(3, 1);
    EXPECT_EQ(_TAVO_syncForkTaskCurrent(), 3u);  // acts on the current task: the node is recorded
    EXPECT_EQ(testing::internal::GetCapturedStderr(), initial(1) + " task forks\n");
}
