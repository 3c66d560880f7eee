#include "task/fork.h"

#include "runtime/entry_frame.h"
#include "runtime/errors.h"
#include "runtime/log.h"
#include "sync/sync_ids.h"
#include "sync/sync_operation.h"
#include "task/task_context.h"
#include "task/task_model.h"

namespace tavo {

namespace {

bool acts_on_current_task(std::int32_t type) { return type == light_task_type || type == uncounted_task_type; }

sync_object_t start_object(std::uint64_t fork_id) { return {task_start_sync_type, fork_id}; }
sync_object_t end_object(std::uint64_t fork_id) { return {task_end_sync_type, fork_id}; }

// Publishes the forking task's work to the child and creates the end object the parent will
// acquire; both act for the thread's current task.
std::uint64_t begin_fork(std::uint64_t site) {
    const std::uint64_t fork_id = take_sync_id();
    sync_operation(start_object(fork_id), memory_order::release, site);
    sync_operation(end_object(fork_id), memory_order::acquire, site);
    return fork_id;
}

void log_task_word(const task_context_t& task, const char* word) {
    log_task_line(log_family::tasks, task.label(), [&](std::ostream& stream) { stream << " task " << word; });
}

// The task an explicit (type, id) names, after the entry frame; null when the call has nothing to
// do, after reporting a task the thread is not in.
task_context_t* named_task(std::int32_t type, std::uint64_t id, std::uint64_t site) {
    thread_record_t* record = enter_frame(TAVO_ACTIVE_SYNC);
    if (record == nullptr) return nullptr;
    record->last_site = site;
    task_context_t* task = find_task(*record, type, id);
    if (task == nullptr) raise_usage_error(error::no_such_task, site);
    return task;
}

task_context_t* current_task() {
    const thread_record_t* record = obtain_thread_record();
    return record != nullptr ? record->current_task : nullptr;
}

void record_fork(task_context_t* waiter, std::uint64_t fork_id) {
    if (waiter == nullptr) return;
    log_task_word(*waiter, "forks");
    // On failure the arena has reported it; the forks recorded earlier stay on the list.
    auto* node = static_cast<wait_node_t*>(waiter->arena.allocate(sizeof(wait_node_t)));
    if (node == nullptr) return;
    *node = {end_object(fork_id), waiter->wait_list};
    waiter->wait_list = node;
}

void wait_for(task_context_t* waiter, std::uint64_t site) {
    if (waiter == nullptr) return;
    log_task_word(*waiter, "waits");
    for (const wait_node_t* node = waiter->wait_list; node != nullptr; node = node->next) {
        sync_operation(node->end_object, memory_order::acquire, site);
        sync_operation(node->end_object, memory_order::destroy, site);
    }
    waiter->wait_list = nullptr;
}

}  // namespace

std::uint64_t fork_task(std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept {
    const std::uint64_t fork_id = begin_fork(site);
    record_fork(acts_on_current_task(type) ? current_task() : named_task(type, id, site), fork_id);
    return fork_id;
}

std::uint64_t fork_current_task(std::uint64_t site) noexcept {
    const std::uint64_t fork_id = begin_fork(site);
    record_fork(current_task(), fork_id);
    return fork_id;
}

std::uint64_t fork_without_wait(std::uint64_t site) noexcept { return begin_fork(site); }

void join_fork(std::uint64_t fork_id, std::uint64_t site) noexcept {
    sync_operation(end_object(fork_id), memory_order::acquire, site);
    sync_operation(end_object(fork_id), memory_order::destroy, site);
    sync_operation(start_object(fork_id), memory_order::destroy, site);
}

void wait_for_forks(std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept {
    wait_for(acts_on_current_task(type) ? current_task() : named_task(type, id, site), site);
}

void wait_for_forks_of_current_task(std::uint64_t site) noexcept { wait_for(current_task(), site); }

void destroy_wait_list(task_context_t& task, std::uint64_t site) noexcept {
    for (const wait_node_t* node = task.wait_list; node != nullptr; node = node->next)
        sync_operation(node->end_object, memory_order::destroy, site);
    task.wait_list = nullptr;
}

}  // namespace tavo
