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

// The system's own walk takes a function without unwind data for a leaf and pops whatever lies
// at the stack pointer as its return address (the static thread library's pthread_create has
// none): from there it follows garbage, and under wine faults when the garbage holds a null stack
// pointer, in a loop that overflows the thread's stack and ends it. So the walk ends at the first
// such function, and where the stack pointer leaves the thread's stack.
int unwind_stack(void** pcs, int capacity) noexcept {
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    CONTEXT context;
    RtlCaptureContext(&context);
    int count = 0;
    while (count < capacity) {
        DWORD64 image = 0;
        RUNTIME_FUNCTION* function = RtlLookupFunctionEntry(context.Rip, &image, nullptr);
        if (function == nullptr) break;
        void* data = nullptr;
        DWORD64 frame = 0;
        const DWORD64 below = context.Rsp;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, image, context.Rip, function, &context, &data, &frame, nullptr);
        if (context.Rip == 0 || context.Rsp <= below || context.Rsp >= high) break;
        pcs[count++] = reinterpret_cast<void*>(context.Rip);
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

}  // namespace

void symbolizer_stop() noexcept {
    if (symbolizer_input != nullptr) CloseHandle(symbolizer_input);
    if (symbolizer_output != nullptr) CloseHandle(symbolizer_output);
    if (symbolizer_process != nullptr) {
        TerminateProcess(symbolizer_process, 1);
        CloseHandle(symbolizer_process);
    }
    symbolizer_input = symbolizer_output = symbolizer_process = nullptr;
}

namespace {

// A name without a folder is looked for on the path. Under wine a host's symbolizer would start,
// but with none of the caller's pipes: reports are symbolized after the run there (tavo-symbolize).
bool find_program(const char* name, char* path, std::size_t capacity) {
    return SearchPathA(nullptr, name, ".exe", static_cast<DWORD>(capacity), path, nullptr) != 0;
}

}  // namespace

bool symbolizer_start(const char* name) noexcept {
    if (symbolizer_process != nullptr) return true;
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
        symbolizer_stop();
        return false;
    }
    CloseHandle(process.hThread);
    symbolizer_process = process.hProcess;
    return true;
}

bool symbolizer_send(const char* request) noexcept {
    const DWORD length = static_cast<DWORD>(std::strlen(request));
    DWORD written = 0;
    return WriteFile(symbolizer_input, request, length, &written, nullptr) && written == length;
}

long symbolizer_receive(char* buffer, std::size_t room) noexcept {
    const ULONGLONG deadline = GetTickCount64() + 10000;
    DWORD available = 0;
    for (;;) {
        if (!PeekNamedPipe(symbolizer_output, nullptr, 0, nullptr, &available, nullptr)) return 0;
        if (available != 0) break;
        if (GetTickCount64() > deadline) return 0;
        Sleep(1);
    }
    DWORD got = 0;
    const DWORD wanted = room < available ? static_cast<DWORD>(room) : available;
    return ReadFile(symbolizer_output, buffer, wanted, &got, nullptr) ? static_cast<long>(got) : 0;
}

}  // namespace tavo::frontend
