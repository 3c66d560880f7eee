// The debugger's half of the harness: records every stop of the library as a debugger reads it,
// and lets the test act while the process is stopped.
//
// On POSIX the executable defines __tavo_switch_to_debugger, which the library calls at each stop.
// On Windows this file is scenario_debugger.dll: tavo.dll raises from its own start-up, before any
// code of the test executable runs, and this DLL is imported ahead of tavo.dll, so the loader
// initialises it first and its vectored handler is in place for the load stops. The handler sees
// the raise before the library's own frame handler does, finds the library's data through its
// export table, and passes the exception on: the library's frame handler returns from the stop,
// as it does when no debugger consumes it.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <atomic>
#include <cstdlib>

#include "harness.h"

namespace scenario {

namespace {

// Plain storage: the library stops here during its own static initialisation, before any
// constructor of the executable has run.
constexpr std::size_t stop_capacity = 4096;
stop_t recorded[stop_capacity];
std::atomic<std::size_t> recorded_count{0};
std::atomic<debugger_action_t> debugger_action{nullptr};

void on_stop(std::int32_t reason, const tavo_detection_t& detection, const tavo_config_t& config, std::uint32_t mask) {
    const stop_t stop{reason, detection.site, config, mask};
    const std::size_t index = recorded_count.load();
    if (index < stop_capacity) {
        recorded[index] = stop;
        recorded_count = index + 1;
    }
    if (debugger_action_t action = debugger_action.load()) action(stop);
}

}  // namespace

std::vector<stop_t> stops() { return {recorded, recorded + recorded_count.load()}; }
void clear_stops() { recorded_count = 0; }
void set_debugger_action(debugger_action_t action) { debugger_action = action; }

}  // namespace scenario

#ifdef _WIN32
namespace {

// The code the library raises, read at each exception from the system's copy of the environment:
// a test that changes it before loading the library changes it for both of us.
DWORD library_code() {
    char code[32];
    const DWORD length = GetEnvironmentVariableA("KULMO_DBG_RTLEXCEPTION", code, sizeof code);
    return length == 0 || length >= sizeof code ? 0xA1A01DB0u : std::strtoul(code, nullptr, 16);
}

LONG CALLBACK on_exception(EXCEPTION_POINTERS* exception) {
    const HMODULE library = GetModuleHandleA("tavo.dll");
    if (exception->ExceptionRecord->ExceptionCode != library_code() || library == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    auto find = [library](const char* name) { return reinterpret_cast<const void*>(GetProcAddress(library, name)); };
    const auto* reason = static_cast<const std::int32_t*>(find("__tavo_event_reason"));
    const auto* detection = static_cast<const tavo_detection_t*>(find("__tavo_current_detection"));
    const auto* config = static_cast<const tavo_config_t*>(find("__tavo_config"));
    const auto* mask = static_cast<const std::uint32_t*>(find("__TAVO_isGuardedCall"));
    if (reason && detection && config && mask) scenario::on_stop(*reason, *detection, *config, *mask);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    return reason != DLL_PROCESS_ATTACH || AddVectoredExceptionHandler(1, on_exception) != nullptr;
}
#else
extern "C" void __tavo_switch_to_debugger(void) {
    scenario::on_stop(__tavo_event_reason, __tavo_current_detection, __tavo_config, __TAVO_isGuardedCall);
}
#endif
