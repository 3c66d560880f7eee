// What the differential streams do not see of the configuration protocol and the errors: their
// log lines, and the entries that do nothing.
#include <thread>

#include "debugger_fixture.h"

using scenario::stop_reasons;
using reasons = std::vector<std::int32_t>;

namespace {
int stops_seen = 0;
}

TEST(ConfigurationLog, LinesOfThePoll) {
    if (scenario::in_child()) {
        stops_seen = 0;
        scenario::set_debugger_action([](const scenario::stop_t& stop) {
            if (stop.reason == -29999 && ++stops_seen == 3) __tavo_config.request = 0;
        });
        __tavo_config.filter_count = 3;
        __tavo_config.request = TAVO_REQUEST_ALLOCATE | TAVO_REQUEST_RESET_TSM;
        _TAVO_leaveFunction(nullptr, nullptr);
        __tavo_config.request = TAVO_REQUEST_PING;
        _TAVO_leaveFunction(nullptr, nullptr);
        __tavo_config.request = 0x80;
        _TAVO_leaveFunction(nullptr, nullptr);
        return;
    }
    const auto result = scenario::rerun_in_child({{"TAVO_LOGGING", "6"}});
    EXPECT_EQ(result.exit_status, 0) << result.out;
    EXPECT_EQ(result.err,
              "tavo: library loaded\n"
              "tavo: allocate 72 bytes of filter buffer\n"
              "tavo: resetting tsm\n"
              "tavo: configuration updated\n"
              "tavo: how are you?\n"
              "tavo: unknown feature\n"
              "tavo: unknown feature\n"
              "tavo: unknown feature\n"
              "tavo: library unloaded\n");
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

using EntryTest = debugger_test;

TEST_F(EntryTest, NotificationsWithoutEffectChangeNothing) {
    __tavo_config.request = TAVO_REQUEST_PING;
    const std::uint32_t mask = __TAVO_isGuardedCall;
    int object = 0;
    EXPECT_EQ(__zuk_api_version(), 0);
    __zuk_sync_createA(&object, "mutex", "m", 0);
    __zuk_sync_createW(&object, L"mutex", L"m", 0);
    __zuk_sync_renameA(&object, "n");
    __zuk_sync_set_nameW(&object, L"mutex", L"n", 0);
    __zuk_notify_sync_nameA(&object, "mutex", "n", 0);
    __zuk_sync_prepare(&object);
    __zuk_notify_sync_prepare(&object);
    __zuk_sync_cancel(&object);
    __zuk_notify_sync_cancel(&object);
    EXPECT_TRUE(stop_reasons().empty());
    EXPECT_EQ(__tavo_config.request, TAVO_REQUEST_PING);
    EXPECT_EQ(__TAVO_isGuardedCall, mask);
    __tavo_config.request = 0;
}

// A new thread's first call goes through the platform's thread start, which the differential
// streams see on POSIX only.
using WarningTest = debugger_test;

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
