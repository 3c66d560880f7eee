// Tasks as the program enters and leaves them, seen through the log and the debugger's stops.
#include "scenario.h"

using scenario::in_child;
using scenario::label;
using scenario::stop_reasons;
using scenario::thread_id;

// The first call entering a task also enters the initial task; a freed handle is the first reused.
TEST(Tasks, EntriesExitsAndAccessesAsLogged) {
    if (!in_child()) return (void)scenario::run_child({{"TAVO_LOGGING", "0x54"}, {"TAVO_ENABLE", "1"}});
    static std::uint64_t word;
    char at[32];
    std::snprintf(at, sizeof at, " at %016llX, ", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&word)));
    testing::internal::CaptureStderr();
    _TAVO_enterGenericTaskFrom(3, 5, 0x1234);
    EXPECT_EQ(__TAVO_isGuardedCall, 0xFFFFFFFBu);
    _TAVO_writeMemory(&word, 8);
    _TAVO_updateMemory(&word, 2);
    _TAVO_readMemory(&word, 1);
    _TAVO_leaveGenericTaskFrom(3, 5, 0xab);
    EXPECT_EQ(__TAVO_isGuardedCall, 0xFFFFFFE1u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), label(1, thread_id(), 1) + " task enters\n" + label(3, 5, 2) +
                                    " task enters at 0000000000001234\n" + label(3, 5, 2) + " memory write" + at +
                                    "8 bytes\n" + label(3, 5, 2) + " memory update" + at + "2 bytes\n" + label(3, 5, 2) +
                                    " memory read" + at + "1 bytes\n" + label(3, 5, 2) + " task leaves at 00000000000000AB\n");
    for (std::uint64_t id : {1, 2, 3}) _TAVO_enterGenericTaskFrom(0, id, 0);
    _TAVO_leaveGenericTaskFrom(0, 3, 0);
    _TAVO_leaveGenericTaskFrom(0, 2, 0);
    testing::internal::CaptureStderr();
    _TAVO_enterGenericTaskFrom(0, 4, 0);
    _TAVO_enterGenericTaskFrom(0, 5, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), label(0, 4, 3) + " task enters\n" + label(0, 5, 4) + " task enters\n");
    EXPECT_EQ(stop_reasons().size(), 2u);  // the load's stops only
}

TEST(Tasks, WithTheMasterBitOffNoTaskIsEntered) {
    if (in_child()) {
        _TAVO_enterGenericTaskFrom(3, 1, 0x80);
        _TAVO_leaveGenericTaskFrom(3, 1, 0x81);
        _TAVO_warn(-20000);
        return;
    }
    // Errors only: no task was entered, so the thread also ends without one.
    EXPECT_EQ(scenario::run_child({{"TAVO_LOGGING", "0x14"}, {"TAVO_GUARD", "0xfffffffe"}}).err,
              "tavo: internal error -20000\ntavo: task nesting error\n");
}

// Every handle in use: the next entry is refused, nothing changes, and a freed handle is reused.
TEST(Tasks, HandleOverflowIsReportedAndRecoversWhenAHandleIsFreed) {
    if (!in_child()) {
        EXPECT_EQ(scenario::run_child({{"TAVO_LOGGING", "0x4"}}).err, "tavo: task handle overflow\n");
        return;
    }
    _TAVO_enterGenericTaskFrom(0, 1, 0x90);  // handle 2, after the initial task's 1
    for (std::uint64_t id = 2; id < 65535; ++id) _TAVO_enterGenericTaskFrom(0, id, 0x91);
    scenario::clear_stops();
    _TAVO_enterGenericTaskFrom(0, 70000, 0x92);
    ASSERT_EQ(stop_reasons(), reasons{-29996});
    EXPECT_EQ(scenario::stops()[0].site, 0x91u);
    _TAVO_leaveGenericTaskFrom(0, 65534, 0x93);  // the innermost, so no nesting error
    _TAVO_enterGenericTaskFrom(0, 70001, 0x94);
    _TAVO_leaveGenericTaskFrom(0, 70001, 0x95);
    EXPECT_EQ(stop_reasons(), reasons{-29996});
    // Tearing 65,535 tasks down one by one would only slow the test.
    std::fflush(nullptr);
    std::_Exit(::testing::Test::HasFailure() ? 1 : 0);
}
