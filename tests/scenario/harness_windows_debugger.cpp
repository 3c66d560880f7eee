// The debugger's half of the Windows harness, built as scenario_debugger.dll. tavo.dll stops in
// the debugger from its own start-up, before any code of the test executable runs; this DLL is
// imported ahead of tavo.dll, so the loader initialises it first and its vectored handler is in
// place for the load stops. The handler sees the library's raise before the library's own frame
// handler does, records the stop from the exported data as a debugger reads it, lets the test act,
// and passes the exception on: the library's frame handler returns from the stop, as it does when
// no debugger consumes it.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "harness.h"

#define SCENARIO_DEBUGGER_API extern "C" __declspec(dllexport)
#include "harness_windows_debugger.h"

namespace {

constexpr std::size_t stop_capacity = 4096;
scenario::stop_t recorded[stop_capacity];
std::atomic<std::size_t> recorded_count{0};
std::atomic<scenario::debugger_action_t> debugger_action{nullptr};

// The library's exported data, found through its export table as a debugger finds it.
struct library_data_t {
    const std::int32_t* event_reason;
    const tavo_detection_t* detection;
    const tavo_config_t* config;
    const std::uint32_t* active_mask;
};

bool find_library_data(library_data_t& data) {
    const HMODULE library = GetModuleHandleA("tavo.dll");
    if (library == nullptr) return false;
    auto find = [library](const char* name) { return reinterpret_cast<const void*>(GetProcAddress(library, name)); };
    data.event_reason = static_cast<const std::int32_t*>(find("__tavo_event_reason"));
    data.detection = static_cast<const tavo_detection_t*>(find("__tavo_current_detection"));
    data.config = static_cast<const tavo_config_t*>(find("__tavo_config"));
    data.active_mask = static_cast<const std::uint32_t*>(find("__TAVO_isGuardedCall"));
    return data.event_reason && data.detection && data.config && data.active_mask;
}

void print_stop(const scenario::stop_t& stop) {
    if (GetEnvironmentVariableA("TAVO_TEST_PRINT_STOPS", nullptr, 0) == 0) return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "stop %d %llx\n", stop.reason,
                                     static_cast<unsigned long long>(stop.site));
    DWORD written = 0;
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr)) std::abort();
}

// The code the library raises, read at each exception: a test that changes it before loading
// the library changes it for both of us.
DWORD library_code() {
    char text[64];
    const DWORD length = GetEnvironmentVariableA("KULMO_DBG_RTLEXCEPTION", text, sizeof text);
    if (length == 0 || length >= sizeof text) return 0xA1A01DB0u;
    return static_cast<DWORD>(std::strtoul(text, nullptr, 16));
}

LONG CALLBACK on_exception(EXCEPTION_POINTERS* exception) {
    if (exception->ExceptionRecord->ExceptionCode != library_code()) return EXCEPTION_CONTINUE_SEARCH;
    library_data_t data;
    if (!find_library_data(data)) return EXCEPTION_CONTINUE_SEARCH;
    const scenario::stop_t stop{*data.event_reason, data.detection->site, *data.config, *data.active_mask};
    const std::size_t index = recorded_count.load();
    if (index < stop_capacity) {
        recorded[index] = stop;
        recorded_count = index + 1;
    }
    print_stop(stop);
    if (scenario::debugger_action_t action = debugger_action.load()) action(stop);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

SCENARIO_DEBUGGER_API const scenario::stop_t* scenario_debugger_stops(std::size_t* count) {
    *count = recorded_count.load();
    return recorded;
}

SCENARIO_DEBUGGER_API void scenario_debugger_clear_stops() { recorded_count = 0; }

SCENARIO_DEBUGGER_API void scenario_debugger_set_action(scenario::debugger_action_t action) {
    debugger_action = action;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    return reason != DLL_PROCESS_ATTACH || AddVectoredExceptionHandler(1, on_exception) != nullptr;
}
