#include "frontend/host.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/threads.h"

namespace tavo::frontend {

bool debugger_attached() noexcept { return IsDebuggerPresent() != FALSE; }

bool stop_wanted() noexcept { return IsDebuggerPresent() != FALSE; }

// The system unwinds with the modules' unwind tables; through code that has none (some of the
// static runtimes' assembly) it goes astray, so the stack ends at the first address outside code.
int unwind_stack(void** pcs, int capacity) noexcept {
    const int count = RtlCaptureStackBackTrace(0, static_cast<DWORD>(capacity), pcs, nullptr);
    for (int index = 0; index < count; ++index) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(pcs[index], &region, sizeof region) != sizeof region || region.Type != MEM_IMAGE ||
            (region.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) == 0)
            return index;
    }
    return count;
}

int system_thread_id() noexcept { return static_cast<int>(GetCurrentThreadId()); }

bool stack_range(std::uintptr_t& low, std::uintptr_t& high) noexcept {
    ULONG_PTR lowest = 0, highest = 0;
    GetCurrentThreadStackLimits(&lowest, &highest);
    low = lowest;
    high = highest;
    return high > low;
}

}  // namespace tavo::frontend

namespace tavo::frontend {

namespace {

HANDLE symbolizer_input = nullptr, symbolizer_output = nullptr;
HANDLE symbolizer_process = nullptr;
bool symbolizer_missing = false;
char* reply = nullptr;
std::size_t reply_capacity = 0;

void stop_symbolizer() {
    if (symbolizer_input != nullptr) CloseHandle(symbolizer_input);
    if (symbolizer_output != nullptr) CloseHandle(symbolizer_output);
    if (symbolizer_process != nullptr) {
        TerminateProcess(symbolizer_process, 1);
        CloseHandle(symbolizer_process);
    }
    symbolizer_input = symbolizer_output = symbolizer_process = nullptr;
}

// A name without a folder is looked for on the path. Under wine a host's symbolizer would start,
// but with none of the caller's pipes: reports are symbolized after the run there (tavo-symbolize).
bool find_program(const char* name, char* path, std::size_t capacity) {
    return SearchPathA(nullptr, name, ".exe", static_cast<DWORD>(capacity), path, nullptr) != 0;
}

bool start_symbolizer(const char* name) {
    if (symbolizer_process != nullptr) return true;
    if (symbolizer_missing) return false;
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE child_input = nullptr, child_output = nullptr;
    char path[MAX_PATH * 3];
    STARTUPINFOA startup{};
    PROCESS_INFORMATION process{};
    bool started = find_program(name, path, sizeof path) && CreatePipe(&child_input, &symbolizer_input, &inherited, 0);
    if (started && !CreatePipe(&symbolizer_output, &child_output, &inherited, 0)) started = false;
    if (started) {
        SetHandleInformation(symbolizer_input, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(symbolizer_output, HANDLE_FLAG_INHERIT, 0);
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = child_input;
        startup.hStdOutput = child_output;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        started = CreateProcessA(path, nullptr, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    }
    if (child_input != nullptr) CloseHandle(child_input);
    if (child_output != nullptr) CloseHandle(child_output);
    if (!started) {
        stop_symbolizer();
        symbolizer_missing = true;
        std::fprintf(stderr, "tavo: cannot run the symbolizer '%s'; functions are named from symbol tables\n", name);
        return false;
    }
    CloseHandle(process.hThread);
    symbolizer_process = process.hProcess;
    return true;
}

bool exchange(const char* request) {
    const DWORD length = static_cast<DWORD>(std::strlen(request));
    DWORD written = 0;
    if (!WriteFile(symbolizer_input, request, length, &written, nullptr) || written != length) return false;
    std::size_t used = 0;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    for (;;) {
        if (reply_capacity - used < 4096) {
            const std::size_t capacity = reply_capacity == 0 ? 8192 : reply_capacity * 2;
            char* grown = static_cast<char*>(std::realloc(reply, capacity));
            if (grown == nullptr) return false;
            reply = grown;
            reply_capacity = capacity;
        }
        DWORD available = 0;
        if (!PeekNamedPipe(symbolizer_output, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available == 0) {
            if (GetTickCount64() > deadline) return false;
            Sleep(1);
            continue;
        }
        DWORD got = 0;
        const DWORD room = static_cast<DWORD>(reply_capacity - 1 - used);
        if (!ReadFile(symbolizer_output, reply + used, available < room ? available : room, &got, nullptr) || got == 0) return false;
        used += got;
        reply[used] = '\0';
        if (used >= 2 && reply[used - 2] == '\n' && reply[used - 1] == '\n') return true;
    }
}

}  // namespace

char* ask_symbolizer(const char* path, const char* request) noexcept {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!start_symbolizer(path)) return nullptr;
        if (exchange(request)) return reply;
        stop_symbolizer();
    }
    return nullptr;
}

}  // namespace tavo::frontend
