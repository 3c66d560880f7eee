#pragma once

#include <cstdint>

#include "runtime/runtime.h"

namespace tavo {

struct task_context_t;

// Per-thread record, 16 bytes: the last call site of the thread's entries, then its current task.
// Held in the thread's slot on Windows, in the thread's words elsewhere.
struct thread_record_t {
    std::uint64_t last_site;
    task_context_t* current_task;
};
static_assert(sizeof(thread_record_t) == 16);

#ifndef _WIN32
// The calling thread's words that every plain access reads: its record, found by the platform key
// too (keyed_record), and the front end's stay in the library (frontend.h), beside it so that all
// take one offset and the current task one load off the thread pointer. The library is loaded
// with the program, so initial-exec storage is there for them, plain (__thread) so that no use
// checks for an initialiser. Windows keeps to the key alone, as mingw's thread-local storage
// allocates.
struct thread_words_t {
    thread_record_t record;          // all zero until the thread's record is made, and once it is gone
    thread_record_t* keyed_record;   // &record while the key holds it
    unsigned library_depth;
    std::uint64_t deferred_signals;  // bit n-1: signal n
};
extern constinit __thread __attribute__((tls_model("initial-exec"))) thread_words_t thread_words;
#endif

// The calling thread's record, or null when it has none yet.
thread_record_t* find_thread_record() noexcept;
thread_record_t* obtain_thread_record_slowly() noexcept;
// The calling thread's record, created (with its initial task) on the thread's first call.
// Null when the heap is exhausted, and after process detach.
inline thread_record_t* obtain_thread_record() noexcept {
#ifndef _WIN32
    if (thread_record_t* record = thread_words.keyed_record; record != nullptr && per_thread_key_ready.load(std::memory_order_relaxed))
        [[likely]] return record;
#endif
    return obtain_thread_record_slowly();
}
// Thread detach: ends the thread's tasks and frees its record.
void destroy_thread_record(thread_record_t* record) noexcept;

}  // namespace tavo
