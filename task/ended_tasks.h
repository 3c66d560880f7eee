// Ended tasks kept comparable (flags bit TAVO_FLAG_KEEP_ENDED_TASKS): a task that ends with records
// in shadow memory keeps them, its context and its handle until no live task can still race with
// it, so that an access racing with a finished thread is still seen.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo {

struct task_context_t;

// Past either bound the oldest kept tasks are forgotten: a task nobody joins is kept only so long.
constexpr std::size_t kept_task_limit = 1024;
constexpr std::size_t kept_memory_limit = std::size_t{128} << 20;

// The task has ended (its leaves line written, its wait list and call stack gone). With the bit set
// and records of the task in shadow memory, keeps it and answers true: the caller must not forget
// or destroy it. Forgets the oldest kept tasks past the bounds.
bool keep_ended_task(task_context_t& task) noexcept;

// Forgets every kept task whose last recorded time all live tasks' clocks order; run after a task
// ends and after a task-end object is acquired (joins and task waits), with the bit set.
void forget_ordered_ended_tasks() noexcept;

// A thread being created has no task yet but will start from its creator's clock as it was at the
// fork, which may order less than any live task does by the time it starts. Between hold (before
// the fork) and release (after the new task has acquired it), no kept task is forgotten as ordered.
void hold_ended_tasks() noexcept;
void release_ended_tasks() noexcept;

// Forgets the oldest kept task, so that its handle can be handed out again; false when none is kept.
bool forget_oldest_ended_task() noexcept;

// Kept tasks of that type. A kept task can still race with a live one, so checking stays on while
// one is kept even when it was the last other task.
std::uint32_t kept_task_count(std::int32_t type) noexcept;
bool any_task_kept() noexcept;

// Whether a kept task has that type and id: a detection against it names a task that has finished.
bool ended_task_kept(std::int32_t type, std::uint64_t id) noexcept;

// What forgetting a task always was (task_model.cpp): its records, its handle in every clock, its
// registration, its context.
void forget_ended_task(task_context_t& task) noexcept;

}  // namespace tavo
