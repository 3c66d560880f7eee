// What scenario_debugger.dll exports to the test executable's half of the harness.
#pragma once

#include <cstddef>

#include "harness.h"

#ifndef SCENARIO_DEBUGGER_API
#define SCENARIO_DEBUGGER_API extern "C" __declspec(dllimport)
#endif

SCENARIO_DEBUGGER_API const scenario::stop_t* scenario_debugger_stops(std::size_t* count);
SCENARIO_DEBUGGER_API void scenario_debugger_clear_stops();
SCENARIO_DEBUGGER_API void scenario_debugger_set_action(scenario::debugger_action_t action);
