// Scenario tests play the debugger: every stop of the library lands in the harness (stops.cpp),
// which records it and lets the test act as a debugger would while the process is stopped.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tavo/tavo.h"

namespace scenario {

struct stop_t {
    std::int32_t reason;
    std::uint64_t site;
    tavo_config_t config;
    std::uint32_t active_mask;
};

// On Windows the stops are recorded by scenario_debugger.dll, which exports these three.
#if !defined(_WIN32)
#define SCENARIO_DEBUGGER_API
#elif defined(SCENARIO_DEBUGGER_BUILD)
#define SCENARIO_DEBUGGER_API __declspec(dllexport)
#else
#define SCENARIO_DEBUGGER_API __declspec(dllimport)
#endif

// Every stop since the process started (the load stops included), in order.
SCENARIO_DEBUGGER_API std::vector<stop_t> stops();
SCENARIO_DEBUGGER_API void clear_stops();
inline std::vector<std::int32_t> stop_reasons() {
    std::vector<std::int32_t> reasons;
    for (const stop_t& stop : stops()) reasons.push_back(stop.reason);
    return reasons;
}

// Called at each stop after it is recorded, as a debugger that writes the configuration block.
using debugger_action_t = void (*)(const stop_t&);
SCENARIO_DEBUGGER_API void set_debugger_action(debugger_action_t action);

// Load-time behaviour needs a fresh process: the current test runs again in a child with the
// given environment. In the child, in_child() is true and the test acts out the scenario.
struct child_result_t {
    int exit_status;
    std::string out;
    std::string err;
};
inline bool in_child() { return std::getenv("TAVO_SCENARIO_CHILD") != nullptr; }
child_result_t rerun_in_child(const std::map<std::string, std::string>& environment);

}  // namespace scenario
