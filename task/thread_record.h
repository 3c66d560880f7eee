#pragma once

#include <cstdint>

namespace tavo {

struct task_context_t;

// Per-thread record, 16 bytes in the thread's slot: the last call site of the thread's entries,
// then its current task.
struct thread_record_t {
    std::uint64_t last_site;
    task_context_t* current_task;
};
static_assert(sizeof(thread_record_t) == 16);

// The calling thread's record, or null when it has none yet.
thread_record_t* find_thread_record() noexcept;
// The calling thread's record, created (with its initial task) on the thread's first call.
// Null when the heap is exhausted, and after process detach.
thread_record_t* obtain_thread_record() noexcept;
// Thread detach: ends the thread's tasks and frees its record.
void destroy_thread_record(thread_record_t* record) noexcept;

}  // namespace tavo
