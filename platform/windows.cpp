// The Windows host. In the DLL the loader delivers the notifications through DllMain; a program
// that links the static core (TAVO_STATIC_CORE) gets them from the process notifier and a TLS
// callback instead, as there is no DllMain of ours to call.
#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "tavo/tavo.h"

namespace tavo::platform {

namespace {
// The library runs inside the host's calls: a host that reads GetLastError after one of our
// entries must still see its own value, and TlsGetValue resets it on every success.
class last_error_keeper_t {
public:
    last_error_keeper_t() noexcept : saved_(GetLastError()) {}
    ~last_error_keeper_t() { SetLastError(saved_); }
    last_error_keeper_t(const last_error_keeper_t&) = delete;
    last_error_keeper_t& operator=(const last_error_keeper_t&) = delete;

private:
    DWORD saved_;
};
}  // namespace

bool tls_allocate(tls_key_t& key) noexcept {
    const DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) return false;
    key = index;
    return true;
}

void* tls_get(tls_key_t key) noexcept {
    last_error_keeper_t keeper;
    return TlsGetValue(key);
}

bool tls_set(tls_key_t key, void* value) noexcept {
    last_error_keeper_t keeper;
    return TlsSetValue(key, value) != FALSE;
}

void tls_free(tls_key_t key) noexcept { TlsFree(key); }

std::uint32_t current_thread_id() noexcept { return GetCurrentThreadId(); }

// The process environment itself, not the C library's copy of it taken at its start-up, so that a
// host that sets a variable with SetEnvironmentVariable before it loads us is heard. Values are
// at most 32,767 characters; the caller parses each at once, so one buffer per thread will do.
const char* environment_variable(const char* name) noexcept {
    thread_local char value[32768];
    last_error_keeper_t keeper;
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return nullptr;
    if (length >= sizeof value) return nullptr;  // cannot happen: the system's own limit
    return value;
}

void* map_memory(std::size_t size) noexcept {
    last_error_keeper_t keeper;
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}
void unmap_memory(void* memory, std::size_t) noexcept {
    last_error_keeper_t keeper;
    VirtualFree(memory, 0, MEM_RELEASE);
}
void populate_memory(void*, std::size_t) noexcept {}
// Large pages need a privilege that programs seldom hold.
void* map_huge_memory(std::size_t) noexcept { return nullptr; }

void cpu_pause() noexcept { YieldProcessor(); }
void yield_thread() noexcept { SwitchToThread(); }

bool heavy_fence_ready() noexcept { return true; }
void heavy_fence() noexcept { FlushProcessWriteBuffers(); }

void stop_in_debugger() noexcept { __tavo_switch_to_debugger(); }

#if defined(TAVO_STATIC_CORE)

process_notifier_t::process_notifier_t() noexcept {
    if (!on_process_attach()) {
        // As on POSIX: the program goes on without per-thread records in thread-local storage.
    }
}

process_notifier_t::~process_notifier_t() { on_process_detach(); }

#else

// DllMain delivers the notifications.
process_notifier_t::process_notifier_t() noexcept = default;
process_notifier_t::~process_notifier_t() = default;

#endif

}  // namespace tavo::platform

#if defined(TAVO_STATIC_CORE)

namespace {
// Thread detach in a program: the loader calls the program's TLS callbacks for every thread that
// ends. Placed before the threads library's own callback (.CRT$XLF), which tears down the
// thread-local variables that the record's tear-down still reads.
void NTAPI thread_callback(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_DETACH) tavo::on_thread_detach();
}
}  // namespace

extern "C" __attribute__((section(".CRT$XLE"), used)) const PIMAGE_TLS_CALLBACK tavo_thread_callback = thread_callback;

#else

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        // Failing here fails the load; the C runtime then runs process detach and the at-exit
        // functions at once, so the unload event follows.
        return tavo::on_process_attach() ? TRUE : FALSE;
    case DLL_THREAD_DETACH:
        // Also for threads that were running before we were loaded and never called us: their
        // slot is null, and on_thread_detach does nothing for them.
        tavo::on_thread_detach();
        return TRUE;
    case DLL_PROCESS_DETACH:
        tavo::on_process_detach();
        return TRUE;
    default:
        return TRUE;
    }
}

#endif
