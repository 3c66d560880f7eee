// The configuration protocol: the debugger writes the block, the next poll applies it and the
// library stops with the result until a poll has nothing more to say.
#include "debugger_fixture.h"

using scenario::stop_reasons;
using reasons = std::vector<std::int32_t>;

namespace {
int stops_seen = 0;
}

using ConfigurationTest = debugger_test;

TEST_F(ConfigurationTest, PingIsAnsweredOnce) {
    request(TAVO_REQUEST_PING);
    EXPECT_EQ(stop_reasons(), reasons{4});
    EXPECT_EQ(__tavo_config.request, 0u);
    EXPECT_EQ(scenario::stops()[0].site, 0u);
    EXPECT_EQ(__tavo_event_reason, 0);
}

TEST_F(ConfigurationTest, WrongVersionIsRestoredAndReported) {
    scenario::set_debugger_action([](const scenario::stop_t& stop) {
        if (stop.reason == 4) __tavo_config.version = 2;
    });
    request(TAVO_REQUEST_PING);
    EXPECT_EQ(stop_reasons(), (reasons{4, -10000}));
    EXPECT_EQ(__tavo_config.version, 3u);
}

TEST_F(ConfigurationTest, WrongVersionHidesTheRequestsOfThatPoll) {
    __tavo_config.version = 7;
    request(TAVO_REQUEST_PING);
    EXPECT_EQ(stop_reasons(), (reasons{-10000, 4}));
}

TEST_F(ConfigurationTest, PingWaitsForNothingElseAndResetFollows) {
    request(TAVO_REQUEST_PING | TAVO_REQUEST_RESET_TSM);
    EXPECT_EQ(stop_reasons(), (reasons{4, 3}));
    EXPECT_EQ(__tavo_config.request, 0u);
}

TEST_F(ConfigurationTest, BothResetsInOnePoll) {
    request(TAVO_REQUEST_RESET_TSM | TAVO_REQUEST_RESET_RE);
    EXPECT_EQ(stop_reasons(), reasons{3});
    EXPECT_EQ(__tavo_config.request, 0u);
}

TEST_F(ConfigurationTest, UnknownFeatureIsReportedUntilTheDebuggerClearsIt) {
    stops_seen = 0;
    scenario::set_debugger_action([](const scenario::stop_t&) {
        if (++stops_seen == 3) __tavo_config.request &= ~0x4u;
    });
    request(0x4 | TAVO_REQUEST_RESET_RE);
    EXPECT_EQ(stop_reasons(), (reasons{-29999, -29999, -29999}));
    EXPECT_EQ(__tavo_config.request, 0u);  // the reset was done in the first poll
}

TEST_F(ConfigurationTest, AllocationTakesPrecedenceOverTheBatch) {
    __tavo_config.filter_count = 0;
    request(TAVO_REQUEST_ALLOCATE | TAVO_REQUEST_APPLY_FILTERS);
    EXPECT_EQ(stop_reasons(), (reasons{3, 3}));
    EXPECT_EQ(scenario::stops()[0].config.request, TAVO_REQUEST_APPLY_FILTERS);
    EXPECT_EQ(__tavo_config.request, 0u);
}

TEST_F(ConfigurationTest, AllocationGivesABufferForTheCount) {
    __tavo_config.filter_count = 2;
    request(TAVO_REQUEST_ALLOCATE);
    EXPECT_EQ(stop_reasons(), reasons{3});
    ASSERT_NE(__tavo_filter_space, nullptr);
    // The debugger may write both records while stopped.
    __tavo_filter_space[0] = {};
    __tavo_filter_space[1] = {};
    EXPECT_EQ(__tavo_config.filter_count, 2u);
}

TEST_F(ConfigurationTest, BatchLongerThanTheBufferIsRejectedUntilShortened) {
    __tavo_config.filter_count = 1;
    request(TAVO_REQUEST_ALLOCATE);
    stops_seen = 0;
    scenario::set_debugger_action([](const scenario::stop_t&) {
        if (++stops_seen == 2) __tavo_config.filter_count = 0;
    });
    scenario::clear_stops();
    __tavo_config.filter_count = 5;
    request(TAVO_REQUEST_APPLY_FILTERS);
    EXPECT_EQ(stop_reasons(), (reasons{-30000, -30000, 3}));
    EXPECT_EQ(__tavo_config.request, 0u);
}

TEST_F(ConfigurationTest, MeaninglessBitsArePolledButNeverReported) {
    request(0x100);
    EXPECT_TRUE(stop_reasons().empty());
    EXPECT_EQ(__tavo_config.request, 0x100u);
    __tavo_config.request = 0x100 | TAVO_REQUEST_PING;
    poll();
    EXPECT_EQ(stop_reasons(), reasons{4});
    __tavo_config.request = 0;
}

TEST_F(ConfigurationTest, FlagsTakeEffectAtTheNextPoll) {
    __tavo_config.flags = TAVO_FLAG_RE;
    _TAVO_activateTaskType(2);
    EXPECT_EQ(__TAVO_isGuardedCall, 0xFFFFFFE5u);
    __tavo_config.flags = TAVO_FLAG_TSM | TAVO_FLAG_RE;
    EXPECT_EQ(__TAVO_isGuardedCall, 0xFFFFFFE5u);
    request(TAVO_REQUEST_PING);
    EXPECT_EQ(__TAVO_isGuardedCall, 0xFFFFFFFFu);
    __tavo_config.flags = TAVO_FLAG_TSM | TAVO_FLAG_IGNORE_ATOMICS;
    request(TAVO_REQUEST_PING);
    EXPECT_EQ(__TAVO_isGuardedCall, 0xFFFFFFF3u);
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
