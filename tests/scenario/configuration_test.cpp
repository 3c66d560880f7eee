// Start-up, the environment read at load, and what the differential streams do not see of the
// configuration protocol: log lines and dumps.
#include <thread>

#include "scenario.h"

using scenario::in_child;
using scenario::run_child;
using scenario::stop_reasons;

// Each "(0x" and 16 digits ")" as "()": addresses differ from run to run.
static std::string addresses_masked(std::string text) {
    for (std::size_t at = text.find("(0x"); at != std::string::npos; at = text.find("(0x", at + 1)) text.erase(at + 1, 18);
    return text;
}

TEST(Load, StopsAndDumpsOfTheHandshake) {
    if (in_child()) {
        EXPECT_EQ(stop_reasons(), (reasons{5, 1}));
        EXPECT_EQ(__tavo_event_reason, 0);
        return;
    }
    std::string expected;
    for (const char* reason : {"05", "01", "02"})
        expected += std::string("__tavo_event_reason(): ") + reason + " 00 00 00 \n" +
                    "__tavo_config(): 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \n";
    EXPECT_EQ(addresses_masked(run_child({{"TAVO_LOGGING", "0x400"}}).err), expected);
}

// Each row a fresh process: flags and active mask after load, then with a task type activated.
TEST(Load, EnvironmentSetsFlagsAndGuard) {
    const struct {
        std::map<std::string, std::string> environment;
        const char* state;
        const char* err;
    } rows[] = {
        {{}, "0 ffffffe1 ffffffe1", ""},
        {{{"TAVO_ENABLE", "1"}}, "1 ffffffe1 fffffffb", ""},
        {{{"TAVO_GUARD", "  0x1f"}, {"TAVO_ENABLE", "1"}}, "1 1 1b", ""},
        // No master bit: the library is off, whatever comes after.
        {{{"TAVO_GUARD", "0"}, {"TAVO_ENABLE", "8000003"}}, "8000003 0 0", ""},
        // An overflowing value leaves the default; a negative one wraps (no master bit).
        {{{"TAVO_ENABLE", "100000001"}, {"TAVO_GUARD", "-2"}}, "0 0 0", ""},
        // Digits before the rest count; none at all is 0, with a warning whatever the logging.
        {{{"TAVO_LOGGING", "zz"}, {"TAVO_ENABLE", "yes"}, {"TAVO_GUARD", " 0x1ffzz"}}, "0 1e1 1e1",
         "tavo: TAVO_LOGGING=zz has no hexadecimal digits; taken as 0\n"
         "tavo: TAVO_ENABLE=yes has no hexadecimal digits; taken as 0\n"},
    };
    if (in_child()) {
        std::printf("state %x %x ", __tavo_config.flags, __TAVO_isGuardedCall);
        _TAVO_activateTaskType(3);
        _TAVO_warn(-20000);  // would be logged under any error bit
        std::printf("%x\n", __TAVO_isGuardedCall);
        return;
    }
    for (const auto& row : rows) {
        const auto result = run_child(row.environment);
        EXPECT_NE(result.out.find(std::string("state ") + row.state + "\n"), std::string::npos) << result.out;
        EXPECT_EQ(result.err, row.err) << row.state;
    }
}

TEST(ConfigurationLog, LinesOfThePollAndOfErrors) {
    if (in_child()) {
        static int stops_seen = 0;
        scenario::set_debugger_action([](const scenario::stop_t& stop) {
            if (stop.reason == -29999 && ++stops_seen == 3) __tavo_config.request = 0;
        });
        __tavo_config.filter_count = 3;
        for (std::uint32_t request : {TAVO_REQUEST_ALLOCATE | TAVO_REQUEST_RESET_TSM, TAVO_REQUEST_PING, 0x80u}) {
            __tavo_config.request = request;
            _TAVO_leaveFunction(nullptr, nullptr);
        }
        _TAVO_warn(-50000);
        _TAVO_warnFrom(-29993, 0x1234);
        _TAVO_warn(-29986);
        _TAVO_warn(3);
        return;
    }
    EXPECT_EQ(run_child({{"TAVO_LOGGING", "6"}}).err,
              "tavo: library loaded\n"
              "tavo: allocate 72 bytes of filter buffer\n"
              "tavo: resetting tsm\n"
              "tavo: configuration updated\n"
              "tavo: how are you?\n"
              "tavo: unknown feature\n"
              "tavo: unknown feature\n"
              "tavo: unknown feature\n"
              "tavo: internal error -50000\n"
              "tavo: access too big\n"
              "tavo: syncid mismatch\n"
              "tavo: internal error -9999\n"
              "tavo: library unloaded\n");
}

// A new thread's first call goes through the platform's thread start, which the differential
// streams see on POSIX only: its initial task is entered first, and that frame applies the
// pending request; the warning has no call site yet.
TEST(EntryTest, WarnAsANewThreadsFirstCallAppliesThePendingRequest) {
    scenario::clear_stops();
    __tavo_config.request = TAVO_REQUEST_PING;
    std::thread([] { _TAVO_warn(-20002); }).join();
    ASSERT_EQ(stop_reasons(), (reasons{4, -20002}));
    EXPECT_EQ(scenario::stops()[1].site, 0u);
    EXPECT_EQ(__tavo_config.request, 0u);
}
