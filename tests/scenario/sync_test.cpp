// Synchronisation as the log shows it: each operation with the task's time and clock afterwards.
#include <gtest/gtest.h>

#include <thread>

#include "harness.h"
#include "task_log.h"

using scenario::in_child;
using scenario::initial;
using scenario::stop_reasons;
using reasons = std::vector<std::int32_t>;

namespace {

void run_logged_child() {
    const auto result = scenario::rerun_in_child({{"TAVO_LOGGING", "0x84"}});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
}

// Runs `body` on a new thread and returns what it logged and the label of its initial task.
template <class Body>
std::string on_thread(unsigned handle, std::string& thread_label, Body body) {
    scenario::stderr_capture_t capture;
    std::thread([&] {
        thread_label = initial(handle);
        body();
    }).join();
    return capture.finish();
}

}  // namespace

TEST(Sync, ReleaseTicksTheTaskAndAcquireTakesItsClock) {
    if (!in_child()) return run_logged_child();
    _TAVO_syncAllocate();  // the main thread's initial task takes handle 1
    scenario::stderr_capture_t capture;
    _TAVO_syncAcquire(1, 0x10);
    _TAVO_syncRelease(1, 0x10);
    _TAVO_syncRelease(1, 0x10);
    EXPECT_EQ(capture.finish(), initial(1) + " acquires sync object 1.10 at 1. State (handle, time):\n" +
                                    initial(1) + " releases sync object 1.10 at 2. State (handle, time): (1, 2)\n" +
                                    initial(1) + " releases sync object 1.10 at 3. State (handle, time): (1, 3)\n");
    std::string other;
    const std::string logged = on_thread(2, other, [] {
        _TAVO_syncRelease(2, 1);
        _TAVO_syncAcquire(1, 0x10);
    });
    EXPECT_EQ(logged, other + " releases sync object 2.1 at 2. State (handle, time): (2, 2)\n" +
                          other + " acquires sync object 1.10 at 2. State (handle, time): (2, 2) (1, 3)\n");
}

TEST(Sync, WeakOperationsActOnlyOnObjectsThatExist) {
    if (!in_child()) return run_logged_child();
    _TAVO_syncAllocate();
    scenario::stderr_capture_t capture;
    _TAVO_syncReleaseWeak(3, 0xab);
    _TAVO_syncAcquireWeak(3, 0xab);
    _TAVO_syncAcquire(3, 0xab);
    _TAVO_syncReleaseWeak(3, 0xab);
    _TAVO_syncAcquireWeak(3, 0xab);
    EXPECT_EQ(capture.finish(), initial(1) + " weak/not releases sync object 3.ab at 1. State (handle, time):\n" +
                                    initial(1) + " weak/not acquires sync object 3.ab at 1. State (handle, time):\n" +
                                    initial(1) + " acquires sync object 3.ab at 1. State (handle, time):\n" +
                                    initial(1) + " releases sync object 3.ab at 2. State (handle, time): (1, 2)\n" +
                                    initial(1) + " acquires sync object 3.ab at 2. State (handle, time): (1, 2)\n");
}

TEST(Sync, InvalidTypeIsReportedAndNotLogged) {
    if (!in_child()) return run_logged_child();
    _TAVO_syncAllocate();
    scenario::stderr_capture_t capture;
    _TAVO_syncAcquire(9, 1);
    _TAVO_syncRelease(0xFFFFFFFFu, 1);
    EXPECT_EQ(capture.finish(), "tavo: invalid sync type\ntavo: invalid sync type\n");
    EXPECT_EQ(stop_reasons(), (reasons{5, 1, -29989, -29989}));
    EXPECT_NE(scenario::stops()[2].site, 0u);  // the operation's own call site
}

TEST(Sync, NotificationsNameObjectsByAddress) {
    if (!in_child()) return run_logged_child();
    static int lock_object;
    _TAVO_syncAlias(0, reinterpret_cast<std::uintptr_t>(&lock_object), 4, 3);
    scenario::stderr_capture_t capture;
    __zuk_sync_releasing(&lock_object);
    __zuk_notify_sync_acquired(&lock_object);
    __zuk_sync_destroy(&lock_object);
    __zuk_sync_prepare(&lock_object);
    __zuk_notify_sync_releasing(&lock_object);
    char address[32];
    std::snprintf(address, sizeof address, "0.%llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&lock_object)));
    EXPECT_EQ(capture.finish(), initial(1) + " releases sync object 4.3 at 2. State (handle, time): (1, 2)\n" +
                                    initial(1) + " acquires sync object 4.3 at 2. State (handle, time): (1, 2)\n" +
                                    initial(1) + " destroys sync object " + address + " at 2. State (handle, time): (1, 2)\n" +
                                    initial(1) + " releases sync object " + address + " at 3. State (handle, time): (1, 3)\n");
}
