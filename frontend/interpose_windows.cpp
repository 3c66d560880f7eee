// Win32 threads, waits, locks and heaps, interposed by rewriting the program's import address
// table when this library loads: the program calls every system function through a pointer of
// that table (mingw's code and its static runtimes alike), so replacing the pointers catches
// exactly the program's calls, and the pointers found there are the real functions. System
// libraries keep their own tables and are not the program's.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "frontend/block_events.h"
#include "frontend/threads.h"
#include "runtime/memory.h"
#include "runtime/spin_lock.h"
#include "task/fork.h"
#include "tavo/tavo.h"

using namespace tavo;
using namespace tavo::frontend;

#define CALLER site_of(__builtin_return_address(0))

namespace tavo::frontend {
thread_local bool releasing_block = false;
thread_local bool inside_detector = false;
// A heap grows a block in place only through the interposed realloc, which receives it anew.
std::size_t usable_size(void*) noexcept { return 0; }
}  // namespace tavo::frontend

namespace {

// ---- Threads: a fork at creation, a join at a wait that saw the thread end. ----

// Fork ids by the system's thread id, written by the creator. An id is not reused while a handle
// of its thread is open, and a wait needs one, so the newest thread of an id is the waited one.
struct thread_slot_t {
    DWORD thread_id;
    std::uint64_t fork_id;
};
constexpr std::size_t thread_slots = 1 << 14;
thread_slot_t thread_forks[thread_slots];
std::uint8_t thread_forks_lock = 0;

std::size_t slot_of(DWORD thread_id) { return (thread_id / 4) % thread_slots; }

void remember_thread(DWORD thread_id, std::uint64_t fork_id) noexcept {
    spin_guard_t guard(thread_forks_lock);
    thread_forks[slot_of(thread_id)] = {thread_id, fork_id};
}

std::uint64_t fork_of_thread(DWORD thread_id) noexcept {
    spin_guard_t guard(thread_forks_lock);
    const thread_slot_t& slot = thread_forks[slot_of(thread_id)];
    return slot.thread_id == thread_id ? slot.fork_id : 0;
}

struct start_t {
    LPTHREAD_START_ROUTINE routine;
    void* argument;
    thread_start_t thread;
};

DWORD WINAPI trampoline(void* argument) {
    const start_t start = *static_cast<start_t*>(argument);
    heap_free(argument, sizeof(start_t));
    thread_enters(start.thread);
    const DWORD result = start.routine(start.argument);
    thread_leaves(start.thread.site);
    return result;
}

// Both creators take a routine of one shape on x64 (unsigned and DWORD alike), and give a handle
// and the new thread's id.
template <class Create>
HANDLE create_thread(std::uint64_t site, LPTHREAD_START_ROUTINE routine, void* argument, DWORD* thread_id, Create create) {
    DWORD id = 0;
    auto* start = static_cast<start_t*>(heap_allocate(sizeof(start_t)));
    if (start == nullptr || !thread_forking(site, start->thread)) {
        heap_free(start, sizeof(start_t));
        return create(routine, argument, thread_id);
    }
    start->routine = routine;
    start->argument = argument;
    const thread_start_t forked = start->thread;
    // The id is recorded before the thread may run, so that a wait on it is never too early.
    const HANDLE thread = create(trampoline, start, &id);
    if (thread == nullptr) {
        heap_free(start, sizeof(start_t));
        thread_not_started(forked);
        return thread;
    }
    remember_thread(id, forked.fork_id);
    if (thread_id != nullptr) *thread_id = id;
    return thread;
}

// ---- The real functions, from the import table. ----

#define TAVO_HOOKS(X)                                                                                               \
    X(CreateThread) X(ExitThread) X(WaitForSingleObject) X(WaitForSingleObjectEx) X(WaitForMultipleObjects)         \
    X(WaitForMultipleObjectsEx) X(SignalObjectAndWait) X(SetEvent) X(ReleaseMutex) X(ReleaseSemaphore)              \
    X(InitializeCriticalSection) X(InitializeCriticalSectionAndSpinCount) X(InitializeCriticalSectionEx)            \
    X(DeleteCriticalSection) X(EnterCriticalSection) X(TryEnterCriticalSection) X(LeaveCriticalSection)             \
    X(InitializeSRWLock) X(AcquireSRWLockExclusive) X(AcquireSRWLockShared) X(TryAcquireSRWLockExclusive)           \
    X(TryAcquireSRWLockShared) X(ReleaseSRWLockExclusive) X(ReleaseSRWLockShared) X(InitializeConditionVariable)    \
    X(SleepConditionVariableCS) X(SleepConditionVariableSRW) X(WakeConditionVariable) X(WakeAllConditionVariable)   \
    X(InitOnceExecuteOnce) X(HeapAlloc) X(HeapReAlloc) X(HeapFree) X(VirtualAlloc) X(VirtualFree)

using begin_thread_t = std::uintptr_t(__cdecl*)(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*);
using end_thread_t = void(__cdecl*)(unsigned);
using malloc_t = void*(__cdecl*)(std::size_t);
using calloc_t = void*(__cdecl*)(std::size_t, std::size_t);
using realloc_t = void*(__cdecl*)(void*, std::size_t);
using free_t = void(__cdecl*)(void*);

struct reals_t {
#define TAVO_REAL(name) decltype(&::name) name;
    TAVO_HOOKS(TAVO_REAL)
#undef TAVO_REAL
    begin_thread_t _beginthreadex;
    end_thread_t _endthreadex;
    malloc_t malloc;
    calloc_t calloc;
    realloc_t realloc;
    free_t free;
};
reals_t reals;

// ---- Sync objects. ----

// Set while the program's threads library works for a call the glue records itself: what it does
// with the system meanwhile (its own locks, events and blocks) orders nothing more for the program.
thread_local int in_threads_library = 0;
bool watched() noexcept { return in_threads_library == 0; }

void order(const void* object, std::uint32_t how, std::uint64_t site) noexcept {
    if (watched()) sync_on_address(object, how, site);
}

// Kernel objects are named by their handle: a duplicated handle is another object to us.
const void* object_of(HANDLE handle) { return handle; }

void acquired(HANDLE handle, std::uint64_t site) noexcept {
    if (!watched()) return;
    if (const DWORD thread_id = GetThreadId(handle)) {
        if (const std::uint64_t fork_id = fork_of_thread(thread_id)) {
            // Several waits on one thread are each a join: its end object stays.
            if (ready.load(std::memory_order_relaxed)) sync_operation({task_end_sync_type, fork_id}, memory_order::acquire, site);
        }
        return;
    }
    order(object_of(handle), memory_order::acquire, site);
}

void waited(DWORD count, const HANDLE* handles, BOOL all, DWORD status, std::uint64_t site) noexcept {
    if (status >= WAIT_OBJECT_0 && status < WAIT_OBJECT_0 + count) {
        if (all) {
            for (DWORD index = 0; index < count; ++index) acquired(handles[index], site);
        } else {
            acquired(handles[status - WAIT_OBJECT_0], site);
        }
    } else if (status >= WAIT_ABANDONED_0 && status < WAIT_ABANDONED_0 + count) {
        // An abandoned mutex is acquired all the same.
        acquired(handles[status - WAIT_ABANDONED_0], site);
    }
}

void released(HANDLE handle, std::uint64_t site) noexcept { order(object_of(handle), memory_order::release, site); }

// Lock objects in the program's memory are memory too, as on Linux: making or unmaking one writes
// it, every use reads its first byte.
template <class T>
void writes_object(T* object, std::uint64_t site) noexcept {
    if (watched()) access(const_cast<const void*>(static_cast<const volatile void*>(object)), sizeof(T), write_access, site);
}
void uses_object(const void* object, std::uint64_t site) noexcept {
    if (watched()) access(object, 1, read_access, site);
}

void lock_taken(const void* lock, bool write, std::uint64_t site) noexcept {
    if (!watched()) return;
    order(lock, memory_order::acquire, site);
    lock_acquired(lock, write, site);
}
void lock_given_back(const void* lock, std::uint64_t site) noexcept {
    if (!watched()) return;
    lock_released(lock);
    order(lock, memory_order::release, site);
}

// Slim reader-writer locks as on Linux (rw_locks.cpp): shared sections order no one but the next
// exclusive one.
void srw_locked(SRWLOCK* lock, bool exclusive, std::uint64_t site) noexcept {
    if (!watched()) return;
    if (exclusive) write_locked(lock, site);
    else read_locked(lock, site);
}
void srw_unlocking(SRWLOCK* lock, std::uint64_t site) noexcept {
    if (!watched()) return;
    uses_object(lock, site);
    sync_on_address(rw_unlocking(lock), memory_order::release, site);
}

// ---- Heap lifetimes. ----

// Only blocks the program was seen to receive have a known size; the C runtime's own (strdup's,
// say) are left alone.
void block_released(void* block, std::uint64_t site) noexcept {
    if (block == nullptr) return;
    if (engaged_t engaged(watched()); engaged) {
        heap_block_t known;
        if (heap_block_containing(reinterpret_cast<std::uintptr_t>(block), known) &&
            known.base == reinterpret_cast<std::uintptr_t>(block))
            block_releasing(block, known.size, site);
    }
}

}  // namespace

// ---- The replacements. ----

#define TAVO_HOOK(result, name, ...) result WINAPI hook_##name(__VA_ARGS__)

namespace {

TAVO_HOOK(HANDLE, CreateThread, SECURITY_ATTRIBUTES* security, SIZE_T stack, LPTHREAD_START_ROUTINE routine, void* argument,
          DWORD flags, DWORD* thread_id) {
    return create_thread(CALLER, routine, argument, thread_id, [&](LPTHREAD_START_ROUTINE run, void* with, DWORD* id) {
        return reals.CreateThread(security, stack, run, with, flags, id);
    });
}

std::uintptr_t __cdecl hook__beginthreadex(void* security, unsigned stack, unsigned(__stdcall* routine)(void*), void* argument,
                                           unsigned flags, unsigned* thread_id) {
    const HANDLE thread = create_thread(
        CALLER, reinterpret_cast<LPTHREAD_START_ROUTINE>(routine), argument, reinterpret_cast<DWORD*>(thread_id),
        [&](LPTHREAD_START_ROUTINE run, void* with, DWORD* id) {
            static_assert(sizeof(DWORD) == sizeof(unsigned));
            return reinterpret_cast<HANDLE>(reals._beginthreadex(security, stack, reinterpret_cast<unsigned(__stdcall*)(void*)>(run),
                                                                 with, flags, reinterpret_cast<unsigned*>(id)));
        });
    return reinterpret_cast<std::uintptr_t>(thread);
}

TAVO_HOOK(void, ExitThread, DWORD code) {
    thread_leaves(CALLER);
    reals.ExitThread(code);
}
void __cdecl hook__endthreadex(unsigned code) {
    thread_leaves(CALLER);
    reals._endthreadex(code);
}

TAVO_HOOK(DWORD, WaitForSingleObject, HANDLE handle, DWORD milliseconds) {
    const DWORD status = reals.WaitForSingleObject(handle, milliseconds);
    waited(1, &handle, FALSE, status, CALLER);
    return status;
}
TAVO_HOOK(DWORD, WaitForSingleObjectEx, HANDLE handle, DWORD milliseconds, BOOL alertable) {
    const DWORD status = reals.WaitForSingleObjectEx(handle, milliseconds, alertable);
    waited(1, &handle, FALSE, status, CALLER);
    return status;
}
TAVO_HOOK(DWORD, WaitForMultipleObjects, DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds) {
    const DWORD status = reals.WaitForMultipleObjects(count, handles, all, milliseconds);
    waited(count, handles, all, status, CALLER);
    return status;
}
TAVO_HOOK(DWORD, WaitForMultipleObjectsEx, DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds, BOOL alertable) {
    const DWORD status = reals.WaitForMultipleObjectsEx(count, handles, all, milliseconds, alertable);
    waited(count, handles, all, status, CALLER);
    return status;
}
TAVO_HOOK(DWORD, SignalObjectAndWait, HANDLE signalled, HANDLE awaited, DWORD milliseconds, BOOL alertable) {
    const std::uint64_t site = CALLER;
    released(signalled, site);
    const DWORD status = reals.SignalObjectAndWait(signalled, awaited, milliseconds, alertable);
    waited(1, &awaited, FALSE, status, site);
    return status;
}
TAVO_HOOK(BOOL, SetEvent, HANDLE event) {
    released(event, CALLER);
    return reals.SetEvent(event);
}
TAVO_HOOK(BOOL, ReleaseMutex, HANDLE mutex) {
    released(mutex, CALLER);
    return reals.ReleaseMutex(mutex);
}
TAVO_HOOK(BOOL, ReleaseSemaphore, HANDLE semaphore, LONG count, LONG* previous) {
    released(semaphore, CALLER);
    return reals.ReleaseSemaphore(semaphore, count, previous);
}

TAVO_HOOK(void, InitializeCriticalSection, CRITICAL_SECTION* section) {
    writes_object(section, CALLER);
    reals.InitializeCriticalSection(section);
}
TAVO_HOOK(BOOL, InitializeCriticalSectionAndSpinCount, CRITICAL_SECTION* section, DWORD spins) {
    writes_object(section, CALLER);
    return reals.InitializeCriticalSectionAndSpinCount(section, spins);
}
TAVO_HOOK(BOOL, InitializeCriticalSectionEx, CRITICAL_SECTION* section, DWORD spins, DWORD flags) {
    writes_object(section, CALLER);
    return reals.InitializeCriticalSectionEx(section, spins, flags);
}
TAVO_HOOK(void, DeleteCriticalSection, CRITICAL_SECTION* section) {
    writes_object(section, CALLER);
    order(section, memory_order::destroy, CALLER);
    reals.DeleteCriticalSection(section);
}
TAVO_HOOK(void, EnterCriticalSection, CRITICAL_SECTION* section) {
    const std::uint64_t site = CALLER;
    uses_object(section, site);
    reals.EnterCriticalSection(section);
    lock_taken(section, true, site);
}
TAVO_HOOK(BOOL, TryEnterCriticalSection, CRITICAL_SECTION* section) {
    const std::uint64_t site = CALLER;
    uses_object(section, site);
    const BOOL entered = reals.TryEnterCriticalSection(section);
    if (entered) lock_taken(section, true, site);
    return entered;
}
TAVO_HOOK(void, LeaveCriticalSection, CRITICAL_SECTION* section) {
    const std::uint64_t site = CALLER;
    uses_object(section, site);
    lock_given_back(section, site);
    reals.LeaveCriticalSection(section);
}

TAVO_HOOK(void, InitializeSRWLock, SRWLOCK* lock) {
    writes_object(lock, CALLER);
    reals.InitializeSRWLock(lock);
}
TAVO_HOOK(void, AcquireSRWLockExclusive, SRWLOCK* lock) {
    const std::uint64_t site = CALLER;
    uses_object(lock, site);
    reals.AcquireSRWLockExclusive(lock);
    srw_locked(lock, true, site);
}
TAVO_HOOK(void, AcquireSRWLockShared, SRWLOCK* lock) {
    const std::uint64_t site = CALLER;
    uses_object(lock, site);
    reals.AcquireSRWLockShared(lock);
    srw_locked(lock, false, site);
}
TAVO_HOOK(BOOLEAN, TryAcquireSRWLockExclusive, SRWLOCK* lock) {
    const std::uint64_t site = CALLER;
    uses_object(lock, site);
    const BOOLEAN taken = reals.TryAcquireSRWLockExclusive(lock);
    if (taken) srw_locked(lock, true, site);
    return taken;
}
TAVO_HOOK(BOOLEAN, TryAcquireSRWLockShared, SRWLOCK* lock) {
    const std::uint64_t site = CALLER;
    uses_object(lock, site);
    const BOOLEAN taken = reals.TryAcquireSRWLockShared(lock);
    if (taken) srw_locked(lock, false, site);
    return taken;
}
TAVO_HOOK(void, ReleaseSRWLockExclusive, SRWLOCK* lock) {
    srw_unlocking(lock, CALLER);
    reals.ReleaseSRWLockExclusive(lock);
}
TAVO_HOOK(void, ReleaseSRWLockShared, SRWLOCK* lock) {
    srw_unlocking(lock, CALLER);
    reals.ReleaseSRWLockShared(lock);
}

// Condition variables: the sleep gives the lock up and takes it again; a wake releases.
TAVO_HOOK(void, InitializeConditionVariable, CONDITION_VARIABLE* condition) {
    writes_object(condition, CALLER);
    reals.InitializeConditionVariable(condition);
}
TAVO_HOOK(BOOL, SleepConditionVariableCS, CONDITION_VARIABLE* condition, CRITICAL_SECTION* section, DWORD milliseconds) {
    const std::uint64_t site = CALLER;
    uses_object(condition, site);
    uses_object(section, site);
    order(section, memory_order::release, site);
    const BOOL woken = reals.SleepConditionVariableCS(condition, section, milliseconds);
    order(condition, memory_order::acquire, site);
    order(section, memory_order::acquire, site);
    return woken;
}
TAVO_HOOK(BOOL, SleepConditionVariableSRW, CONDITION_VARIABLE* condition, SRWLOCK* lock, DWORD milliseconds, ULONG flags) {
    const std::uint64_t site = CALLER;
    const bool exclusive = (flags & CONDITION_VARIABLE_LOCKMODE_SHARED) == 0;
    uses_object(condition, site);
    order(exclusive ? static_cast<const void*>(lock) : readers_of(lock), memory_order::release, site);
    const BOOL woken = reals.SleepConditionVariableSRW(condition, lock, milliseconds, flags);
    order(condition, memory_order::acquire, site);
    order(lock, memory_order::acquire, site);
    if (exclusive) order(readers_of(lock), memory_order::acquire, site);
    return woken;
}
TAVO_HOOK(void, WakeConditionVariable, CONDITION_VARIABLE* condition) {
    uses_object(condition, CALLER);
    order(condition, memory_order::release, CALLER);
    reals.WakeConditionVariable(condition);
}
TAVO_HOOK(void, WakeAllConditionVariable, CONDITION_VARIABLE* condition) {
    uses_object(condition, CALLER);
    order(condition, memory_order::release, CALLER);
    reals.WakeAllConditionVariable(condition);
}

// One-time initialisation: the initialiser's work is released when it succeeds, and every caller
// acquires it.
struct once_call_t {
    PINIT_ONCE_FN function;
    void* parameter;
};
BOOL CALLBACK run_once(INIT_ONCE* once, void* call, void** context) {
    const auto& asked = *static_cast<once_call_t*>(call);
    const BOOL done = asked.function(once, asked.parameter, context);
    if (done) order(once, memory_order::release, 0);
    return done;
}
TAVO_HOOK(BOOL, InitOnceExecuteOnce, INIT_ONCE* once, PINIT_ONCE_FN function, void* parameter, void** context) {
    once_call_t call{function, parameter};
    const BOOL done = reals.InitOnceExecuteOnce(once, run_once, &call, context);
    if (done) order(once, memory_order::acquire, CALLER);
    return done;
}

// Heaps: a block starts with no history; a free writes all of it.
TAVO_HOOK(void*, HeapAlloc, HANDLE heap, DWORD flags, SIZE_T size) {
    return block_received(reals.HeapAlloc(heap, flags, size), size, CALLER, watched());
}
TAVO_HOOK(void*, HeapReAlloc, HANDLE heap, DWORD flags, void* block, SIZE_T size) {
    const std::uint64_t site = CALLER;
    if ((flags & HEAP_REALLOC_IN_PLACE_ONLY) == 0) block_released(block, site);
    return block_received(reals.HeapReAlloc(heap, flags, block, size), size, site, watched());
}
TAVO_HOOK(BOOL, HeapFree, HANDLE heap, DWORD flags, void* block) {
    block_released(block, CALLER);
    return reals.HeapFree(heap, flags, block);
}
void* __cdecl hook_malloc(std::size_t size) { return block_received(reals.malloc(size), size, CALLER, watched()); }
void* __cdecl hook_calloc(std::size_t count, std::size_t size) {
    return block_received(reals.calloc(count, size), count * size, CALLER, watched());
}
void* __cdecl hook_realloc(void* block, std::size_t size) {
    const std::uint64_t site = CALLER;
    block_released(block, site);
    return block_received(reals.realloc(block, size), size, site, watched());
}
void __cdecl hook_free(void* block) {
    block_released(block, CALLER);
    reals.free(block);
}

// Mappings are forgotten when committed and when released.
TAVO_HOOK(void*, VirtualAlloc, void* address, SIZE_T size, DWORD type, DWORD protection) {
    void* mapped = reals.VirtualAlloc(address, size, type, protection);
    if (mapped != nullptr && (type & MEM_COMMIT) != 0) mapping_forgotten(mapped, size, CALLER, watched());
    return mapped;
}
TAVO_HOOK(BOOL, VirtualFree, void* address, SIZE_T size, DWORD type) {
    MEMORY_BASIC_INFORMATION region;
    if ((type & MEM_RELEASE) != 0 && VirtualQuery(address, &region, sizeof region) == sizeof region) size = region.RegionSize;
    const BOOL freed = reals.VirtualFree(address, (type & MEM_RELEASE) != 0 ? 0 : size, type);
    if (freed) mapping_forgotten(address, size, CALLER, watched());
    return freed;
}

// ---- Rewriting the program's import table. ----

struct hook_t {
    const char* name;
    void* replacement;
    void** real;
};
#define TAVO_ENTRY(name) {#name, reinterpret_cast<void*>(&hook_##name), reinterpret_cast<void**>(&reals.name)},
const hook_t hooks[] = {TAVO_HOOKS(TAVO_ENTRY) TAVO_ENTRY(_beginthreadex) TAVO_ENTRY(_endthreadex) TAVO_ENTRY(malloc)
                            TAVO_ENTRY(calloc) TAVO_ENTRY(realloc) TAVO_ENTRY(free)};
#undef TAVO_ENTRY

void rewrite_imports(HMODULE module) noexcept {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return;
    for (auto* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); library->Name != 0;
         ++library) {
        if (library->OriginalFirstThunk == 0) continue;  // names unknown
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const char* name = reinterpret_cast<const char*>(
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name);
            for (const hook_t& hook : hooks) {
                if (std::strcmp(hook.name, name) != 0) continue;
                *hook.real = reinterpret_cast<void*>(slots->u1.Function);
                DWORD protection = 0;
                if (VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection)) {
                    slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook.replacement);
                    VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
                }
                break;
            }
        }
    }
}

// Before the library's load stop (DllMain comes after the constructors): every pointer is ours
// before the program's own code runs.
struct imports_rewritten_t {
    imports_rewritten_t() noexcept { rewrite_imports(GetModuleHandleW(nullptr)); }
} imports_rewritten;

}  // namespace

// ---- For the program's static threads library (winpthreads), whose calls the wrappers link to
// the glue of windows_glue.c: the same orderings as on Linux. ----

extern "C" TAVO_API void __tavo_glue_enter() { ++in_threads_library; }
extern "C" TAVO_API void __tavo_glue_leave() { --in_threads_library; }
extern "C" TAVO_API void __tavo_glue_acquire(const void* object, void* site) {
    sync_on_address(object, memory_order::acquire, site_of(site));
}
extern "C" TAVO_API void __tavo_glue_release(const void* object, void* site) {
    sync_on_address(object, memory_order::release, site_of(site));
}
extern "C" TAVO_API void __tavo_glue_locked(const void* lock, void* site) { lock_taken(lock, true, site_of(site)); }
extern "C" TAVO_API void __tavo_glue_rw_locked(const void* lock, int exclusive, void* site) {
    if (exclusive) write_locked(lock, site_of(site));
    else read_locked(lock, site_of(site));
}
extern "C" TAVO_API void __tavo_glue_rw_unlocking(const void* lock, void* site) {
    uses_object(lock, site_of(site));
    sync_on_address(rw_unlocking(lock), memory_order::release, site_of(site));
}
extern "C" TAVO_API void __tavo_glue_unlocking(const void* lock, void* site) {
    uses_object(lock, site_of(site));
    lock_given_back(lock, site_of(site));
}

// Once: the initialiser's work is released when it returns, and every caller acquires it.
namespace {
thread_local void* running_once = nullptr;
thread_local void (*running_initialiser)() = nullptr;
void run_initialiser() {
    void* once = running_once;
    // The initialiser is the program's own code.
    const int depth = in_threads_library;
    in_threads_library = 0;
    running_initialiser();
    in_threads_library = depth;
    sync_on_address(once, memory_order::release, 0);
}
}  // namespace
extern "C" TAVO_API int __tavo_glue_once(void* once, void (*initialiser)(), int (*real)(void*, void (*)()), void* site) {
    void* outer_once = running_once;
    void (*outer_initialiser)() = running_initialiser;
    running_once = once;
    running_initialiser = initialiser;
    ++in_threads_library;
    const int status = real(once, run_initialiser);
    --in_threads_library;
    running_once = outer_once;
    running_initialiser = outer_initialiser;
    sync_on_address(once, memory_order::acquire, site_of(site));
    return status;
}
