// The front end's shared pieces: the switch that keeps events away until the runtime is up, the
// internal operations with an explicit call site, and the reporter's counters.
#pragma once

#include <atomic>
#include <cstdint>

#include "frontend/stack_store.h"
#include "runtime/plain_access.h"
#include "runtime/site_entries.h"
#include "sync/sync_object.h"
#include "sync/sync_operation.h"

namespace tavo::frontend {

// Set at the library's load stop: until then the runtime object may not be constructed yet
// (libraries loaded ahead of us call the interposers and __tsan_init while starting).
extern TAVO_LOCAL std::atomic<bool> ready;

inline std::uint64_t site_of(const void* address) noexcept { return reinterpret_cast<std::uintptr_t>(address); }

// The code of the OpenMP runtime, once its tool interface started: its own locking and thread
// creation order nothing for the program, which sees its constructs through that interface.
extern std::atomic<std::uint64_t> openmp_code_begin, openmp_code_end;
inline bool from_openmp_runtime(std::uint64_t site) noexcept {
    return site >= openmp_code_begin.load(std::memory_order_relaxed) && site < openmp_code_end.load(std::memory_order_relaxed);
}

// A thread inside the library holds its locks and per-thread state half updated: an asynchronous
// signal's handler, whose instrumented code would enter it again, waits until the thread leaves
// (interpose_signal.cpp). Every stretch of the library's work that a program's call starts runs
// under one of these; the system calls the program asked for run outside, so that a signal still
// interrupts them. Nesting is allowed; a handler always leaves the depth as it found it.
// The quick part of a plain access (access below) is such a stretch too from the moment its task
// is busy in the detector (touched_list_t) until it is idle again: the busy flag, which the quick
// part sets and clears anyway, marks it, with no store of its own. Before that it has read
// nothing a handler could change under it. Its rest, if any, enters the library while still busy.
#ifdef _WIN32
// Windows has no asynchronous handlers on the thread.
inline void enter_library() noexcept {}
inline bool leave_library_quietly() noexcept { return false; }
inline bool leave_quick_part_quietly() noexcept { return false; }
inline void quick_part_to_library() noexcept {}
inline void deliver_deferred_signals() noexcept {}
struct inside_library_t {
    inside_library_t() noexcept {}
};
#else
// The depth and the deferred signals are the thread's words (thread_record.h).
void deliver_deferred_signals() noexcept;
inline void enter_library() noexcept {
    ++thread_words.library_depth;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}
// True when signals wait to be delivered. The depth drops before the deferred set is read: a
// signal arriving in between runs at once.
inline bool leave_library_quietly() noexcept {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    --thread_words.library_depth;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return thread_words.deferred_signals != 0;
}
// After the quick part left its task idle.
inline bool leave_quick_part_quietly() noexcept {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return thread_words.deferred_signals != 0;
}
inline void quick_part_to_library() noexcept { enter_library(); }
class inside_library_t {
public:
    inside_library_t() noexcept { enter_library(); }
    ~inside_library_t() {
        if (leave_library_quietly()) [[unlikely]] deliver_deferred_signals();
    }
    inside_library_t(const inside_library_t&) = delete;
    inside_library_t& operator=(const inside_library_t&) = delete;
};
#endif

// Task reductions: the blocks the OpenMP runtime allocates while the tool counts this up hold one
// copy per thread, which the tasks that run on a thread update in turn. Nothing in OpenMP's task
// ordering says so, so the tool forgets those blocks as each task starts; a block leaves the set
// when it is freed.
extern thread_local __attribute__((tls_model("initial-exec"))) int collecting_reduction_blocks;
void forget_reduction_blocks() noexcept;

// Objects the program names by address: its mutexes, atomics, barriers, semaphores.
inline void sync_on_address(const volatile void* object, std::uint32_t order, std::uint64_t site) noexcept {
    if (ready.load(std::memory_order_relaxed) && !from_openmp_runtime(site)) {
        inside_library_t inside;
        sync_operation({0, reinterpret_cast<std::uintptr_t>(object)}, order, site);
    }
}

enum access_t : std::uint32_t {
    read_access = 0,
    write_access = 1,
    update_access = 2,
    atomic_access = 3,
    atomic_read_access = 4,
};

// The rest of a plain access whose quick part left something to do: the detector's for a task, or
// the whole way (nothing before the front end is ready). Each takes over from the quick part
// (quick_part_to_library) and leaves the library.
void finish_plain_access(plain_rest_t rest, const void* address, std::uint32_t size, std::uint32_t type) noexcept;
void take_whole_way(const void* address, std::uint32_t size, std::uint32_t type, std::uint64_t site) noexcept;

[[gnu::always_inline]] inline void access(const void* address, std::uint64_t size, access_t type, std::uint64_t site) noexcept {
    if (size == 0) return;
    if (type <= update_access && size <= 8) [[likely]] {
        // The quick part calls nothing and the rest is the last call: a repeat takes no frame. It
        // finds the runtime unready as long as this front end is (quick_off::unready).
        const plain_rest_t rest = plain_access_quick(address, static_cast<std::uint32_t>(size), type, site);
        if (!rest.done()) [[unlikely]] {
            if (rest.task == nullptr) return take_whole_way(address, static_cast<std::uint32_t>(size), type, site);
            return finish_plain_access(rest, address, static_cast<std::uint32_t>(size), type);
        }
        if (leave_quick_part_quietly()) [[unlikely]] deliver_deferred_signals();
        return;
    }
    if (!ready.load(std::memory_order_relaxed)) return;
    inside_library_t inside;
    // The detector records at most 255 bytes per access; larger ranges go in parts.
    constexpr std::uint64_t chunk = 248;
    auto* bytes = static_cast<const char*>(address);
    for (; size > chunk; size -= chunk, bytes += chunk) access_from(bytes, chunk, type, site);
    access_from(bytes, static_cast<std::uint32_t>(size), type, site);
}

// The stack pointer of the calling thread's innermost instrumented frame that has not returned, or
// 0 when it has none: below it the program's frames are dead.
std::uintptr_t innermost_frame() noexcept;
// A jump back to the frame whose stack pointer is `stack` (longjmp): the instrumented frames
// deeper than it are gone, as if they had returned.
void frames_jumped_over(std::uintptr_t stack) noexcept;

// Data through a descriptor: a write releases the descriptor's object, a read that received
// something acquires it (interpose_fd.cpp).
void descriptor_written(int fd, std::uint64_t site) noexcept;
void descriptor_read(int fd, std::uint64_t site) noexcept;
std::uint64_t descriptor_object(int fd) noexcept;  // the sync id those two use

// Reader-writer locks (rw_locks.cpp): the lock's object and its readers' object; what a locker
// acquires; and, as an unlock begins, the object it is to release.
const void* readers_of(const void* lock) noexcept;
void read_locked(const void* lock, std::uint64_t site) noexcept;
void write_locked(const void* lock, std::uint64_t site) noexcept;
const void* rw_unlocking(const void* lock) noexcept;

// Set while the thread's free is being checked: a detection then names the offending write a free.
extern thread_local __attribute__((tls_model("initial-exec"))) bool releasing_block;

// The thread-task protocol for the interposers of thread creation (thread_tasks.cpp): the creator
// forks before the system's call (false: the thread is not watched), and says so when the system
// could not start it; the new thread enters before its routine and leaves after it.
struct thread_start_t {
    std::uint64_t task_id;
    std::uint64_t fork_id;
    std::uint64_t site;
};
// Set in a child forked while other threads ran, which may find any of the library's locks held by
// a thread it does not have: it runs unwatched, every entry and interposer passing straight through
// (ready is clear too), as such a child mostly goes on to exec. A child of a lone thread is watched.
extern bool unwatched_child;

// The status of a process ending now without its exit handlers (_exit, _Exit): the run's status
// when it reported, with the summary printed first, as at exit. Untouched in a vfork child, which
// shares its parent's memory and output.
int ending_status(int status) noexcept;

bool thread_forking(std::uint64_t site, thread_start_t& start) noexcept;
void thread_not_started(const thread_start_t& start) noexcept;
void thread_enters(const thread_start_t& start) noexcept;
void thread_leaves(std::uint64_t site) noexcept;
// A thread that the system started for the program (a timer's notification) enters a thread task
// of its own, ordered after the release of sync id `armed`; answers the task id (0: not watched).
std::uint64_t notified_thread_enters(std::uint64_t armed, std::uint64_t creator, stack_id_t created_at,
                                     std::uint64_t site) noexcept;
void notified_thread_leaves(std::uint64_t task_id, std::uint64_t site) noexcept;

}  // namespace tavo::frontend
