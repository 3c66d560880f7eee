// Start-up and shut-down as a debugger sees them, and the environment read at load.
#include <gtest/gtest.h>

#include "harness.h"

using scenario::in_child;
using scenario::rerun_in_child;

namespace {

std::vector<std::string> stop_lines(const std::string& out) {
    std::vector<std::string> result;
    for (const std::string& line : scenario::lines(out))
        if (line.rfind("stop ", 0) == 0) result.push_back(line);
    return result;
}

// Runs the current test in a child with the environment, expects it to pass, returns its output.
scenario::child_result_t run_child(std::map<std::string, std::string> environment) {
    auto result = rerun_in_child(environment);
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    return result;
}

void ping() {
    __tavo_config.request = TAVO_REQUEST_PING;
    _TAVO_leaveFunction(nullptr, nullptr);
}

}  // namespace

TEST(Load, StopsFiveThenOneAtLoadAndTwoAtExit) {
    if (in_child()) {
        EXPECT_EQ(scenario::stop_reasons(), (std::vector<std::int32_t>{5, 1}));
        EXPECT_EQ(__TAVO_isGuardedCall, 0xFFFFFFE1u);
        EXPECT_EQ(__tavo_config.flags, 0u);
        EXPECT_EQ(__tavo_config.version, 3u);
        EXPECT_EQ(__tavo_event_reason, 0);
        return;
    }
    const auto result = run_child({{"TAVO_TEST_PRINT_STOPS", "1"}});
    EXPECT_EQ(stop_lines(result.out), (std::vector<std::string>{"stop 5 0", "stop 1 0", "stop 2 0"}));
    EXPECT_EQ(result.err, "");
}

TEST(Load, StatusLinesShowLoadAndUnload) {
    if (in_child()) return;
    EXPECT_EQ(run_child({{"TAVO_LOGGING", "2"}}).err, "tavo: library loaded\ntavo: library unloaded\n");
}

TEST(Load, ValueWithoutDigitsIsZeroWithAWarningAndDigitsBeforeTheRestCount) {
    if (in_child()) {
        _TAVO_warn(-20000);  // would be logged under any error bit
        EXPECT_EQ(__tavo_config.flags, 0u);
        EXPECT_EQ(__TAVO_isGuardedCall, 0x1FFu & 0xFFFFFFE1u);
        return;
    }
    EXPECT_EQ(run_child({{"TAVO_LOGGING", "zz"}, {"TAVO_ENABLE", "yes"}, {"TAVO_GUARD", " 0x1ffzz"}}).err,
              "tavo: TAVO_LOGGING=zz has no hexadecimal digits; taken as 0\n"
              "tavo: TAVO_ENABLE=yes has no hexadecimal digits; taken as 0\n");
}

TEST(Load, DumpsShowTheHandshakeAndEachPoll) {
    if (in_child()) return;
    const auto err = scenario::lines(run_child({{"TAVO_LOGGING", "0x400"}}).err);
    ASSERT_EQ(err.size(), 6u);
    const std::string reason_prefix = "__tavo_event_reason(0x";
    const std::string config_prefix = "__tavo_config(0x";
    const std::string config_bytes = "): 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ";
    for (int stop = 0; stop < 3; ++stop) {
        const std::string& reason = err[2 * stop];
        const std::string& config = err[2 * stop + 1];
        ASSERT_EQ(reason.rfind(reason_prefix, 0), 0u) << reason;
        EXPECT_EQ(reason.size(), reason_prefix.size() + 16 + 15);
        EXPECT_EQ(reason.find_first_not_of("0123456789ABCDEF", reason_prefix.size()), reason_prefix.size() + 16);
        ASSERT_EQ(config.rfind(config_prefix, 0), 0u) << config;
        EXPECT_EQ(config.substr(config_prefix.size() + 16), config_bytes);
    }
    EXPECT_EQ(err[0].substr(reason_prefix.size() + 16), "): 05 00 00 00 ");
    EXPECT_EQ(err[2].substr(reason_prefix.size() + 16), "): 01 00 00 00 ");
    EXPECT_EQ(err[4].substr(reason_prefix.size() + 16), "): 02 00 00 00 ");
}

TEST(Load, GuardWithoutMasterBitSwitchesTheLibraryOff) {
    if (in_child()) {
        EXPECT_EQ(__TAVO_isGuardedCall, 0u);
        _TAVO_activateTaskType(2);
        __tavo_config.flags = 0x08000003;
        ping();
        EXPECT_EQ(scenario::stop_reasons().back(), 4);
        EXPECT_EQ(__TAVO_isGuardedCall, 0u);
        return;
    }
    run_child({{"TAVO_GUARD", "0"}});
}

TEST(Load, GuardBoundsTheActiveMask) {
    if (in_child()) {
        EXPECT_EQ(__TAVO_isGuardedCall, 0x1Fu & 0xFFFFFFE1u);
        _TAVO_activateTaskType(3);
        EXPECT_EQ(__TAVO_isGuardedCall, 0x1Fu & 0xFFFFFFFBu);
        return;
    }
    run_child({{"TAVO_GUARD", "  0x1f"}, {"TAVO_ENABLE", "1"}});
}

TEST(Load, EnableTurnsDataSharingOnOnceTasksMayRunConcurrently) {
    if (in_child()) {
        EXPECT_EQ(__tavo_config.flags, 1u);
        EXPECT_EQ(__TAVO_isGuardedCall, 0xFFFFFFE1u);
        _TAVO_activateTaskType(2);
        EXPECT_EQ(__TAVO_isGuardedCall, 0xFFFFFFFBu);
        return;
    }
    run_child({{"TAVO_ENABLE", "1"}});
}

TEST(Load, OverflowingValueLeavesTheDefaultAndNegativeValuesWrap) {
    if (in_child()) {
        EXPECT_EQ(__tavo_config.flags, 0u);
        EXPECT_EQ(__TAVO_isGuardedCall, 0u);  // -2 wrapped to a guard without the master bit
        return;
    }
    run_child({{"TAVO_ENABLE", "100000001"}, {"TAVO_GUARD", "-2"}});
}
