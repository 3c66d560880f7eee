// The log lines and dumps of detections and internal checks, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/errors.h"
#include "runtime/log.h"
#include "runtime/runtime.h"

namespace {

int switches = 0;

void report(std::int32_t reason, std::uint64_t site = 0) {
    tavo::runtime_lock_guard_t guard;
    tavo::runtime.report(reason, site);
}

tavo_access_t access(std::uint32_t type, std::uint32_t size, std::uint64_t address, std::uint32_t task_type,
                     std::uint64_t task_id, std::uint64_t code) {
    return {type, size, address, task_type, 0, task_id, code};
}

tavo_offense_t offenses[1] = {{1, 0, 5}};

class EventTest : public ::testing::Test {
protected:
    void SetUp() override {
        switches = 0;
        __tavo_current_detection = {};
    }
    void TearDown() override { tavo::logging_mask = 0; }
};

}  // namespace

extern "C" void __tavo_switch_to_debugger(void) { ++switches; }

// Each data-sharing detection in long and short form: every access type, unknown task types, no
// offended access. The reentrant call's lines are checked by the scenario tests.
TEST_F(EventTest, DetectionsInLongAndShortForm) {
    struct case_t {
        tavo_access_t offending;
        std::vector<tavo_access_t> offended;
        const char* text;
    } cases[] = {
        {access(0, 4, 0x1000, 2, 7, 0x401234), {access(1, 4, 0x1000, 3, 12, 0x401300)},
         "tavo: data sharing detected\n"
         "  object(base): 0x1000, 4 bytes read by openmp task 7 at address 0x401234\n"
         "  object(base): 0x1000, 4 bytes written by native thread 12 at address 0x401300\n"
         "tsm: (2.7 r 0x1000+4 @ 0x401234), (3.12 w 0x1000+4 @ 0x401300)\n"},
        {access(3, 8, 0xabc0, 1, 1, 0x10), {access(2, 1, 0xabc7, 0, 2, 0x20), access(9, 2, 0xabc6, 4, 3, 0x30)},
         "tavo: data sharing detected\n"
         "  object(base): 0xabc0, 8 bytes atomically updated by initial task 1 at address 0x10\n"
         "  object(base): 0xabc7, 1 bytes updated by ? 2 at address 0x20\n"
         "  object(base): 0xabc6, 2 bytes ? by ? 3 at address 0x30\n"
         "tsm: (1.1 w 0xabc0+8 @ 0x10), (0.2 w 0xabc7+1 @ 0x20), (4.3 w 0xabc6+2 @ 0x30)\n"},
        {access(1, 2, 0x20, 3, 4, 0x50), {},
         "tavo: data sharing detected\n"
         "  object(base): 0x20, 2 bytes written by native thread 4 at address 0x50\n"
         "tsm: (3.4 w 0x20+2 @ 0x50)\n"},
    };
    tavo::logging_mask = 0x9;
    for (case_t& c : cases) {
        __tavo_current_detection = {};
        auto& sharing = __tavo_current_detection.sharing;
        sharing.offending = c.offending;
        sharing.offended = c.offended.empty() ? nullptr : c.offended.data();
        sharing.offended_count = c.offended.size();
        testing::internal::CaptureStderr();
        report(TAVO_EVENT_DATA_SHARING, 0x401234);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.text);
        EXPECT_EQ(__tavo_current_detection.site, 0x401234u);
    }
    EXPECT_EQ(switches, 3);
}

TEST_F(EventTest, DumpsOfTheRecordAndItsList) {
    auto& reentrancy = __tavo_current_detection.reentrancy;
    reentrancy.function = 0x401000;
    reentrancy.offenses = offenses;
    reentrancy.offense_count = 1;
    tavo::logging_mask = 0x400;
    testing::internal::CaptureStderr();
    report(257, 0x11);
    const std::string text = testing::internal::GetCapturedStderr();
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "__tavo_event_reason(0x%016llX): 01 01 00 00 \n"
                  "__tavo_current_detection(0x%016llX): 11 00 00 00 00 00 00 00 00 10 40 00 00 00 00 00 "
                  "01 00 00 00 00 00 00 00 ",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&__tavo_event_reason)),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&__tavo_current_detection)));
    EXPECT_EQ(text.substr(0, std::strlen(expected)), expected);
    char offenses_line[128];
    std::snprintf(offenses_line, sizeof offenses_line,
                  "offenses(0x%016llX): 01 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00 \n",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(offenses)));
    EXPECT_NE(text.find(offenses_line), std::string::npos) << text;
}

TEST_F(EventTest, InternalChecksLogWhateverTheMaskAndReportSiteZero) {
    int check_line, bug_line;
    testing::internal::CaptureStderr();
    check_line = __LINE__; TAVO_CHECK(1 + 1 == 3);
    bug_line = __LINE__; TAVO_BUG();
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(text, "condition 1 + 1 == 3 failed at events_test.cpp:" + std::to_string(check_line) +
                        "\nbug at events_test.cpp:" + std::to_string(bug_line) + "\n");
    EXPECT_EQ(switches, 2);
    EXPECT_EQ(__tavo_current_detection.site, 0u);
}
