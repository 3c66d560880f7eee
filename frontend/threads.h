// What reports say of threads and locks: each thread's tid, whether it has finished, where it was
// created and where its stack lies; the locks each thread holds and where it took them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frontend/stack_store.h"

namespace tavo::frontend {

// Thread tasks are numbered from 1 by the interposers; 0 stands for the main thread (and any
// thread they did not start).
void thread_created(std::uint64_t task_id, std::uint64_t site) noexcept;  // by the creator
// A thread started for the program by someone else (a timer's notification), described as
// created by `creator` at `created_at`.
void thread_created(std::uint64_t task_id, std::uint64_t creator, stack_id_t created_at) noexcept;
void thread_started(std::uint64_t task_id) noexcept;                      // by the new thread
void thread_finished() noexcept;                                          // by the thread, at its end

struct thread_info_t {
    int tid;
    bool finished;
    std::uint64_t creator;  // task id of the creating thread
    stack_id_t created_at;
    std::uintptr_t stack_low, stack_high;
};
bool thread_info(std::uint64_t task_id, thread_info_t& info) noexcept;
// The thread whose stack holds the address.
bool thread_of_stack(std::uint64_t address, std::uint64_t& task_id) noexcept;
std::uint64_t current_thread() noexcept;
// Whether a thread's system id is the main thread's.
bool is_main_thread(std::uint64_t system_id) noexcept;

// Called once a lock is held, and as it is given back.
void lock_acquired(const void* lock, bool write, std::uint64_t site) noexcept;
void lock_released(const void* lock) noexcept;

struct held_lock_t {
    std::uint64_t address;
    bool write;
    stack_id_t where;  // the stack that took it
};
// The locks the calling thread holds, oldest first.
std::size_t held_locks(held_lock_t* locks, std::size_t capacity) noexcept;
// The locks an access record's history says were held, newest first.
std::size_t locks_of(stack_id_t history, held_lock_t* locks, std::size_t capacity) noexcept;

// The calling thread's stack, [low, high); false when it cannot be told.
bool stack_range(std::uintptr_t& low, std::uintptr_t& high) noexcept;

}  // namespace tavo::frontend
