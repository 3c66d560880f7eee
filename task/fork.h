// Fork, join and task wait, expressed as synchronisation on two objects per fork: the task start
// object, which the parent releases and the child acquires, and the task end object, which the
// child releases and the parent acquires when it joins or waits.
#pragma once

#include <cstdint>

#include "sync/sync_object.h"

namespace tavo {

struct task_context_t;

// A fork the owning task has not yet waited for; lives in that task's arena.
struct wait_node_t {
    sync_object_t end_object;
    wait_node_t* next;
};

// Each returns a fresh fork id, even when synchronisation is switched off.
std::uint64_t fork_task(std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept;
std::uint64_t fork_current_task(std::uint64_t site) noexcept;
std::uint64_t fork_without_wait(std::uint64_t site) noexcept;

void join_fork(std::uint64_t fork_id, std::uint64_t site) noexcept;
void wait_for_forks(std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept;
void wait_for_forks_of_current_task(std::uint64_t site) noexcept;

// A task that ends destroys the end objects it never waited for.
void destroy_wait_list(task_context_t& task, std::uint64_t site) noexcept;

}  // namespace tavo
