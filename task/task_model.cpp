#include "task/task_model.h"

#include "filter/filter_object.h"
#include "runtime/errors.h"
#include "runtime/log.h"
#include "runtime/runtime.h"
#include "sync/clock_gate.h"
#include "sync/sync_object.h"
#include "task/ended_tasks.h"
#include "task/fork.h"
#include "task/task_context.h"
#include "task/task_table.h"
#include "task/thread_record.h"

namespace tavo {

namespace {

bool is_valid_type(std::int32_t type) { return type >= 0 && type <= uncounted_task_type; }

// Counts only ever go down to 0: an unmatched exit must not wrap a count and keep checking on.
void lower(std::atomic<std::uint16_t>& count) {
    std::uint16_t seen = count.load();
    while (seen != 0 && !count.compare_exchange_weak(seen, static_cast<std::uint16_t>(seen - 1))) {}
}

void count_entry(std::int32_t type) {
    runtime.live_count[type].fetch_add(1);
    lower(runtime.activation_count[type]);
}

// The tsm code filter's verdict on a task's entry site, when it is consulted at all.
bool site_unwatched_by_tsm_filter(std::uint64_t site) {
    if (flags_word() & TAVO_FLAG_NO_TASK_FILTER) return false;
    const filter_object_t* filter = runtime.tsm.filter.load(std::memory_order_acquire);
    return filter != nullptr && !code_watched(*filter, site);
}

void log_task_event(const task_context_t& task, const char* word, std::uint64_t site) {
    log_task_line(log_family::tasks, task.label(), [&](std::ostream& stream) {
        stream << " task " << word;
        if (site != 0) stream << " at " << pointer(site);
    });
}

// The handle may be handed out again only once no clock of a live task or sync object names it.
void retire_handle(const task_context_t& ending) {
    clock_gate.retire_handle(ending.handle, [&](std::uint16_t handle) {
        task_table.for_each_live([&](pinned_slot_t& entry) {
            task_context_t* other = task_of(entry);
            if (other == &ending) return;
            other->clock.erase(handle);
            other->fence_clock.erase(handle);
        });
        retire_handle_from_sync_objects(handle);
    });
}

// True when the task is kept after its end: it is then forgotten later, not by the caller.
bool end_task(task_context_t& task, std::uint64_t site) {
    log_task_event(task, "leaves", site);
    runtime.re.forget_task(task);
    destroy_wait_list(task, site);
    if (keep_ended_task(task)) return true;
    runtime.tsm.forget_task(task);
    retire_handle(task);
    return false;
}

void destroy_task(task_context_t* task) {
    unregister_task(task->handle);
    free_task_handle(task->handle);
    delete_task_context(task);
}

// A task that ended may have been the last live task that did not order a kept one.
void after_task_end() {
    if (flags_word() & TAVO_FLAG_KEEP_ENDED_TASKS) forget_ordered_ended_tasks();
}

}  // namespace

void forget_ended_task(task_context_t& task) noexcept {
    runtime.tsm.forget_task(task);
    retire_handle(task);
    destroy_task(&task);
}

task_context_t* find_task(const thread_record_t& record, std::int32_t type, std::uint64_t id) noexcept {
    for (task_context_t* task = record.current_task; task != nullptr; task = task->parent) {
        if (task->type == type && task->id == id) return task;
    }
    return nullptr;
}

void enter_task(thread_record_t& record, std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept {
    if (!is_valid_type(type)) return raise_usage_error(error::invalid_task_type, site);
    // No counters to change, but the mask still follows a flags word written since it was computed.
    if (type == uncounted_task_type) return runtime.recompute_active_mask_checked();
    if (type == light_task_type && !site_unwatched_by_tsm_filter(site)) {
        count_entry(type);
        runtime.recompute_active_mask_checked();
        return;
    }
    std::uint16_t handle = allocate_task_handle();
    while (handle == 0 && forget_oldest_ended_task()) handle = allocate_task_handle();
    if (handle == 0) return raise_usage_error_at_thread_site(error::task_handle_overflow);
    task_context_t* task = new_task_context(type, id, handle, record.current_task);
    if (task == nullptr) return free_task_handle(handle);
    if (!register_task(handle, task)) {
        free_task_handle(handle);
        delete_task_context(task);
        return;
    }
    record.current_task = task;
    count_entry(type);
    record.last_site = site;
    log_task_event(*task, "enters", site);
    if ((flags_word() & TAVO_FLAG_TSM) && site_unwatched_by_tsm_filter(site)) task->flags |= task_exempt;
    runtime.recompute_active_mask_checked();
}

void leave_task(thread_record_t& record, std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept {
    if (!is_valid_type(type)) return raise_usage_error(error::invalid_task_type, site);
    if (type == uncounted_task_type) return runtime.recompute_active_mask_checked();
    task_context_t* task = find_task(record, type, id);
    if (task == nullptr) {
        // A light task that ran in its enclosing task's context has nothing to end.
        if (type != light_task_type) return raise_usage_error_at_thread_site(error::task_nesting);
        lower(runtime.live_count[type]);
        runtime.recompute_active_mask_checked();
        return;
    }
    lower(runtime.live_count[type]);
    record.last_site = site;
    // Read first: once kept, another thread may forget the task at any time.
    task_context_t* parent = task->parent;
    const bool kept = end_task(*task, site);
    if (record.current_task == task) {
        record.current_task = parent;
    } else {
        raise_usage_error(error::task_nesting, site);
        task_context_t* above = record.current_task;
        while (above->parent != task) above = above->parent;
        above->parent = parent;
    }
    if (!kept) destroy_task(task);
    after_task_end();
    runtime.recompute_active_mask_checked();
}

void end_thread_tasks(thread_record_t& record) noexcept {
    if (record.current_task == nullptr) return raise_usage_error(error::task_nesting, record.last_site);
    for (;;) {
        task_context_t* task = record.current_task;
        task_context_t* parent = task->parent;
        const bool kept = end_task(*task, record.last_site);
        record.current_task = parent;
        if (!kept) destroy_task(task);
        after_task_end();
        if (record.current_task == nullptr) return;
        raise_usage_error(error::task_nesting, record.last_site);
    }
}

task_context_t* new_detached_task(std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept {
    if (!is_valid_type(type) || type == uncounted_task_type) return nullptr;
    const std::uint16_t handle = allocate_task_handle();
    if (handle == 0) {
        raise_usage_error_at_thread_site(error::task_handle_overflow);
        return nullptr;
    }
    task_context_t* task = new_task_context(type, id, handle, nullptr);
    if (task == nullptr) {
        free_task_handle(handle);
        return nullptr;
    }
    if (!register_task(handle, task)) {
        free_task_handle(handle);
        delete_task_context(task);
        return nullptr;
    }
    count_entry(type);
    log_task_event(*task, "enters", site);
    runtime.recompute_active_mask_checked();
    return task;
}

void end_detached_task(task_context_t* task, std::uint64_t site) noexcept {
    lower(runtime.live_count[task->type]);
    if (!end_task(*task, site)) destroy_task(task);
    runtime.recompute_active_mask_checked();
}

}  // namespace tavo
