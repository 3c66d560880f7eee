// Reentrant calls through the exported entries: what the debugger sees and what the log shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>
#include <utility>

#include "harness.h"

using scenario::in_child;
using scenario::stop_reasons;
using reasons = std::vector<std::int32_t>;
using task_list = std::vector<std::pair<std::uint32_t, std::uint64_t>>;

namespace {

// A watched "function" is read at its first byte, so it must be readable memory.
alignas(16) unsigned char code[64] = {0x55};
const void* const f = code;
const void* frame(std::uintptr_t address) { return reinterpret_cast<const void*>(address); }
std::uint64_t address(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

// The offenses list lives only while the stop lasts: the debugger copies it.
std::uint64_t detected_function;
task_list detected_tasks;
void copy_detection(const scenario::stop_t& stop) {
    if (stop.reason != TAVO_EVENT_REENTRANT_CALL) return;
    const tavo_reentrancy_detection_t& detection = __tavo_current_detection.reentrancy;
    detected_function = detection.function;
    detected_tasks.clear();
    for (std::uint64_t index = 0; index < detection.offense_count; ++index)
        detected_tasks.emplace_back(detection.offenses[index].task_type, detection.offenses[index].task_id);
}

std::string label(std::int32_t type, std::uint64_t id, unsigned handle) {
    char text[96];
    std::snprintf(text, sizeof text, "tavo: [%x](%d.%llu)~%u", static_cast<unsigned>(gettid()), type,
                  static_cast<unsigned long long>(id), handle);
    return text;
}
std::string hex(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(address(pointer)));
    return text;
}

void run_child(const std::map<std::string, std::string>& environment) {
    const auto result = scenario::rerun_in_child(environment);
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
}

}  // namespace

TEST(Reentrancy, ReportCarriesTheFunctionTheTasksAndTheEntrySite) {
    if (!in_child()) return run_child({{"TAVO_ENABLE", "2"}, {"TAVO_LOGGING", "0x29"}});
    scenario::set_debugger_action(copy_detection);
    _TAVO_enterGenericTaskFrom(3, 1, 0);
    scenario::stderr_capture_t capture;
    _TAVO_enterFunction(f, frame(0x2000));
    _TAVO_enterGenericTaskFrom(3, 2, 0);  // the same thread, but another task
    _TAVO_enterFunction(f, frame(0x1000));
    const std::string log = capture.finish();
    _TAVO_warn(-29993);  // reports the thread's last call site
    ASSERT_EQ(stop_reasons(), (reasons{5, 1, 257, -29993}));
    EXPECT_NE(scenario::stops()[2].site, 0u);
    EXPECT_EQ(scenario::stops()[2].site, scenario::stops()[3].site);
    EXPECT_EQ(detected_function, address(f));
    EXPECT_EQ(detected_tasks, (task_list{{3, 1}, {3, 2}}));
    EXPECT_EQ(log, label(3, 1, 2) + " function enters\n" + label(3, 2, 3) + " function enters\n" +
                       "tavo: reentrant call detected\n  function: 0x" + hex(f) +
                       "\n  native thread 1\n  native thread 2\nre (" + hex(f) + "): (3.1), (3.2)\n");
}

// The flag is read at each entry, the active mask only at polls and task events.
TEST(Reentrancy, EntryWithTheFlagClearedIsLoggedButNotRecorded) {
    if (!in_child()) return run_child({{"TAVO_ENABLE", "2"}, {"TAVO_LOGGING", "0x20"}});
    scenario::set_debugger_action(copy_detection);
    _TAVO_enterGenericTaskFrom(3, 1, 0);
    _TAVO_enterFunction(f, frame(0x2000));
    _TAVO_enterGenericTaskFrom(3, 2, 0);
    __tavo_config.flags = 0;
    scenario::stderr_capture_t capture;
    _TAVO_enterFunction(f, frame(0x1000));
    EXPECT_EQ(capture.finish(), label(3, 2, 3) + " function enters\n");
    __tavo_config.flags = TAVO_FLAG_RE;
    _TAVO_enterGenericTaskFrom(3, 3, 0);
    _TAVO_enterFunction(f, frame(0x800));
    EXPECT_EQ(stop_reasons(), (reasons{5, 1, 257}));
    EXPECT_EQ(detected_tasks, (task_list{{3, 1}, {3, 3}}));
}

TEST(Reentrancy, EmptyFocusFilterFromTheEnvironmentChecksNothingUntilCodeIsAdded) {
    if (!in_child()) return run_child({{"TAVO_ENABLE", "2"}, {"TAVO_RE", "0"}});
    scenario::set_debugger_action(copy_detection);
    _TAVO_enterGenericTaskFrom(3, 1, 0);
    _TAVO_enterFunction(f, frame(0x2000));
    _TAVO_enterGenericTaskFrom(3, 2, 0);
    _TAVO_enterFunction(f, frame(0x1000));
    EXPECT_EQ(stop_reasons(), (reasons{5, 1}));
    // The debugger focuses on f: one filter record, code range {f, 0}.
    __tavo_config.filter_count = 1;
    __tavo_config.request = TAVO_REQUEST_ALLOCATE;
    _TAVO_leaveFunction(nullptr, nullptr);  // a poll
    ASSERT_NE(__tavo_filter_space, nullptr);
    __tavo_filter_space[0] = {2, 0, 1, 2, {}, address(f), 0};
    __tavo_config.filter_count = 1;
    __tavo_config.request = TAVO_REQUEST_APPLY_FILTERS;
    _TAVO_leaveFunction(nullptr, nullptr);  // a poll
    EXPECT_EQ(stop_reasons(), (reasons{5, 1, 3, 3}));
    _TAVO_enterGenericTaskFrom(3, 3, 0);
    _TAVO_enterFunction(f, frame(0x800));
    EXPECT_EQ(stop_reasons(), (reasons{5, 1, 3, 3, 257}));
    EXPECT_EQ(detected_tasks, (task_list{{3, 1}, {3, 2}, {3, 3}}));  // (3, 2) was recorded though not checked
}
