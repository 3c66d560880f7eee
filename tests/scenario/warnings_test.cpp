// Errors reach the debugger with their code and call site; the program's own warnings too.
#include <thread>

#include "debugger_fixture.h"

using scenario::stop_reasons;
using reasons = std::vector<std::int32_t>;

using WarningTest = debugger_test;

namespace {
// The site a thread's entries recorded last: _TAVO_syncAllocate stores its return address.
[[gnu::noinline]] std::uint64_t record_a_site() {
    _TAVO_syncAllocate();
    _TAVO_warn(-20000);
    const std::uint64_t site = scenario::stops().back().site;
    scenario::clear_stops();
    return site;
}
}  // namespace

TEST_F(WarningTest, UsageCodeIsReportedWithTheGivenSite) {
    _TAVO_warnFrom(-29993, 0x1234);
    ASSERT_EQ(stop_reasons(), reasons{-29993});
    EXPECT_EQ(scenario::stops()[0].site, 0x1234u);
    EXPECT_EQ(__tavo_event_reason, 0);
}

TEST_F(WarningTest, BoundsOfTheUsageClassAreAccepted) {
    _TAVO_warnFrom(-50000, 1);
    _TAVO_warnFrom(-10001, 2);
    EXPECT_EQ(stop_reasons(), (reasons{-50000, -10001}));
}

TEST_F(WarningTest, CodesOutsideTheUsageClassBecomeInternalErrorsAtTheThreadSite) {
    const std::uint64_t site = record_a_site();
    EXPECT_NE(site, 0u);
    _TAVO_warnFrom(-5, 0x1234);
    _TAVO_warn(-10000);
    _TAVO_warn(5);
    _TAVO_warnFrom(-50001, 0x1234);
    EXPECT_EQ(stop_reasons(), (reasons{-9999, -9999, -9999, -9999}));
    for (const auto& stop : scenario::stops()) EXPECT_EQ(stop.site, site);
}

TEST_F(WarningTest, WarnOnANewThreadReportsSiteZero) {
    std::thread([] { _TAVO_warn(-20001); }).join();
    ASSERT_EQ(stop_reasons(), reasons{-20001});
    EXPECT_EQ(scenario::stops()[0].site, 0u);
}

TEST_F(WarningTest, WarnAsFirstCallWithARequestPendingCompletes) {
    __tavo_config.request = TAVO_REQUEST_PING;
    std::thread([] { _TAVO_warn(-20002); }).join();
    // The thread's initial task is entered first, and its frame applies the pending request.
    EXPECT_EQ(stop_reasons(), (reasons{4, -20002}));
    EXPECT_EQ(__tavo_config.request, 0u);
}

TEST_F(WarningTest, DebuggerMayPingFromInsideAnErrorStop) {
    scenario::set_debugger_action([](const scenario::stop_t& stop) {
        if (stop.reason == -20003) __tavo_config.request = TAVO_REQUEST_PING;
    });
    _TAVO_warn(-20003);
    EXPECT_EQ(stop_reasons(), (reasons{-20003, 4}));
}

TEST_F(WarningTest, InvalidTaskTypeIsReportedAtTheCallerAndCountsNothing) {
    const std::uint32_t mask = __TAVO_isGuardedCall;
    _TAVO_activateTaskType(4);
    _TAVO_activateTaskType(0xFFFFFFFFu);
    ASSERT_EQ(stop_reasons(), (reasons{-29990, -29990}));
    EXPECT_NE(scenario::stops()[0].site, 0u);
    EXPECT_NE(scenario::stops()[0].site, scenario::stops()[1].site);
    EXPECT_EQ(__TAVO_isGuardedCall, mask);
}

TEST(WarningLog, MessagesOfErrors) {
    if (scenario::in_child()) {
        _TAVO_warn(-50000);
        _TAVO_warnFrom(-29993, 0x1234);
        _TAVO_warn(-29986);
        _TAVO_warn(3);
        return;
    }
    const auto result = scenario::rerun_in_child({{"TAVO_LOGGING", "4"}});
    EXPECT_EQ(result.exit_status, 0) << result.out;
    EXPECT_EQ(result.err,
              "tavo: internal error -50000\n"
              "tavo: access too big\n"
              "tavo: syncid mismatch\n"
              "tavo: internal error -9999\n");
}
