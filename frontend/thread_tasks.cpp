// Threads as tasks of type 3: a fork by the creator, the task entered by the new thread and left
// at its end, whatever interface made the thread.
#include <atomic>

#include "frontend/frontend.h"
#include "frontend/threads.h"
#include "runtime/runtime.h"
#include "task/ended_tasks.h"
#include "task/fork.h"

namespace tavo::frontend {

namespace {
std::atomic<std::uint64_t> next_thread_task{1};
thread_local std::uint64_t current_fork_id = 0;
thread_local std::uint64_t current_thread_task = 0;
}  // namespace

bool thread_forking(std::uint64_t site, thread_start_t& start) noexcept {
    inside_library_t inside;
    if (!ready.load(std::memory_order_relaxed)) return false;
    // Checking must be on before the thread's first access, so the type is active from here.
    runtime.activation_count[3].fetch_add(1);
    runtime.recompute_active_mask_checked();
    hold_ended_tasks();
    start = {next_thread_task.fetch_add(1), fork_without_wait(site), site};
    thread_created(start.task_id, site);
    return true;
}

namespace {
// A thread that enters no task gives back its creator's activation and hold.
void no_task_entered() noexcept {
    runtime.activation_count[3].fetch_sub(1);
    runtime.recompute_active_mask_checked();
    release_ended_tasks();
}
}  // namespace

void thread_not_started(const thread_start_t& start) noexcept {
    inside_library_t inside;
    no_task_entered();
    join_fork(start.fork_id, start.site);
}

void thread_enters(const thread_start_t& start) noexcept {
    inside_library_t inside;
    current_fork_id = start.fork_id;
    current_thread_task = start.task_id;
    thread_started(start.task_id);
    if (start.fork_id == 0) return no_task_entered();
    // Entering the task consumes the creator's activation, which covered the gap until then.
    task_from(true, 3, start.task_id, start.site);
    sync_operation({task_start_sync_type, start.fork_id}, memory_order::acquire, start.site);
    release_ended_tasks();
}

void thread_leaves(std::uint64_t site) noexcept {
    inside_library_t inside;
    if (current_fork_id == 0 || !ready.load(std::memory_order_relaxed)) return;
    thread_finished();
    sync_operation({task_end_sync_type, current_fork_id}, memory_order::release, site);
    task_from(false, 3, current_thread_task, site);
    current_fork_id = 0;
}

std::uint64_t notified_thread_enters(std::uint64_t armed, std::uint64_t creator, stack_id_t created_at,
                                     std::uint64_t site) noexcept {
    inside_library_t inside;
    if (!ready.load(std::memory_order_relaxed)) return 0;
    const std::uint64_t task_id = next_thread_task.fetch_add(1);
    thread_created(task_id, creator, created_at);
    thread_started(task_id);
    task_from(true, 3, task_id, site);
    sync_operation({0, armed}, memory_order::acquire, site);
    return task_id;
}

void notified_thread_leaves(std::uint64_t task_id, std::uint64_t site) noexcept {
    inside_library_t inside;
    if (task_id == 0 || !ready.load(std::memory_order_relaxed)) return;
    thread_finished();
    task_from(false, 3, task_id, site);
}

}  // namespace tavo::frontend
