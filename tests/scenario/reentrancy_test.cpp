// Reentrant calls through the exported entries under a focus filter from the environment (the log
// lines and the detection record of a reentrant call are the README sample's and the differential
// streams').
#include <utility>

#include "scenario.h"

using scenario::in_child;
using scenario::stop_reasons;
using task_list = std::vector<std::pair<std::uint32_t, std::uint64_t>>;

namespace {

// A watched "function" is read at its first byte, so it must be readable memory.
alignas(16) unsigned char code[64] = {0x55};
const void* const f = code;
const void* frame(std::uintptr_t address) { return reinterpret_cast<const void*>(address); }

// The offenses list lives only while the stop lasts: the debugger copies it.
task_list detected_tasks;
void copy_detection(const scenario::stop_t& stop) {
    if (stop.reason != TAVO_EVENT_REENTRANT_CALL) return;
    const tavo_reentrancy_detection_t& detection = __tavo_current_detection.reentrancy;
    detected_tasks.clear();
    for (std::uint64_t index = 0; index < detection.offense_count; ++index)
        detected_tasks.emplace_back(detection.offenses[index].task_type, detection.offenses[index].task_id);
}

}  // namespace

// An empty focus filter from the environment checks nothing until the debugger adds code to it.
TEST(Reentrancy, EmptyFocusFilterFromTheEnvironmentChecksNothingUntilCodeIsAdded) {
    if (!in_child()) return (void)scenario::run_child({{"TAVO_ENABLE", "2"}, {"TAVO_RE", "0"}});
    // Tasks (3, 1) and (3, 2) of this thread enter f, one inside the other.
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
    __tavo_filter_space[0] = {2, 0, 1, 2, {}, reinterpret_cast<std::uintptr_t>(f), 0};
    __tavo_config.request = TAVO_REQUEST_APPLY_FILTERS;
    _TAVO_leaveFunction(nullptr, nullptr);
    _TAVO_enterGenericTaskFrom(3, 3, 0);
    _TAVO_enterFunction(f, frame(0x800));
    EXPECT_EQ(stop_reasons(), (reasons{5, 1, 3, 3, 257}));
    EXPECT_EQ(detected_tasks, (task_list{{3, 1}, {3, 2}, {3, 3}}));  // (3, 2) was recorded though not checked
}
