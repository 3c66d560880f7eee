// Entering and leaving tasks. Entry and exit establish no ordering: a new task starts with an
// empty clock, an ending one publishes nothing, and the library forgets it completely.
#pragma once

#include <cstdint>

namespace tavo {

struct task_context_t;
struct thread_record_t;

constexpr std::int32_t initial_task_type = 1;
constexpr std::int32_t light_task_type = 2;   // gets a context only when its site is not watched
constexpr std::int32_t uncounted_task_type = 4;

// After the entry frame; the record is the calling thread's.
void enter_task(thread_record_t& record, std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept;
void leave_task(thread_record_t& record, std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept;

// The innermost task of the thread's chain with that type and id, or null.
task_context_t* find_task(const thread_record_t& record, std::int32_t type, std::uint64_t id) noexcept;

// Ends every task still open on the thread, innermost first, reporting each beyond the first as
// a nesting error, or one when there is none.
void end_thread_tasks(thread_record_t& record) noexcept;

// Tasks that belong to no thread's chain: a front end makes one the current task of whichever
// thread runs it, and ends it later, from any thread, once it no longer runs anywhere (an OpenMP
// task that completed stays comparable until the runtime has ordered it before everything).
// Counted and logged like entered tasks. Null when no handle or memory is left, after reporting.
task_context_t* new_detached_task(std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept;
void end_detached_task(task_context_t* task, std::uint64_t site) noexcept;

}  // namespace tavo
