// The debugger's half of the harness: records every stop of the library as a debugger reads it,
// prints it when asked, and lets the test act while the process is stopped.
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
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

namespace scenario {

namespace {

// Plain storage: the library stops here during its own static initialisation, before any
// constructor of the executable has run.
constexpr std::size_t stop_capacity = 4096;
stop_t recorded[stop_capacity];
std::atomic<std::size_t> recorded_count{0};
std::atomic<debugger_action_t> debugger_action{nullptr};

// The system's copy of the environment, which a test may change just before loading the library.
std::string environment(const char* name) {
#ifdef _WIN32
    char value[256];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length < sizeof value ? std::string(value, length) : std::string();
#else
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
#endif
}

// Written past the C runtime's buffers, which are flushed before the unload stop.
void print_stop(const stop_t& stop) {
    if (environment("TAVO_TEST_PRINT_STOPS").empty()) return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "stop %d %llx\n", stop.reason, static_cast<unsigned long long>(stop.site));
#ifdef _WIN32
    DWORD written = 0;
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr)) std::abort();
#else
    if (write(1, line, static_cast<std::size_t>(length)) < 0) std::abort();
#endif
}

void on_stop(std::int32_t reason, const tavo_detection_t& detection, const tavo_config_t& config, std::uint32_t mask) {
    const stop_t stop{reason, detection.site, config, mask};
    const std::size_t index = recorded_count.load();
    if (index < stop_capacity) {
        recorded[index] = stop;
        recorded_count = index + 1;
    }
    print_stop(stop);
    if (debugger_action_t action = debugger_action.load()) action(stop);
}

}  // namespace

std::vector<stop_t> stops() { return {recorded, recorded + recorded_count.load()}; }
void clear_stops() { recorded_count = 0; }
void set_debugger_action(debugger_action_t action) { debugger_action = action; }

}  // namespace scenario

#ifdef _WIN32
namespace {

// The code the library raises, read at each exception: a test that changes it before loading
// the library changes it for both of us.
DWORD library_code() {
    const std::string code = scenario::environment("KULMO_DBG_RTLEXCEPTION");
    return code.empty() ? 0xA1A01DB0u : std::strtoul(code.c_str(), nullptr, 16);
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
