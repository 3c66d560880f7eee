#include "task/ended_tasks.h"

#include <atomic>

#include "runtime/runtime.h"
#include "runtime/spin_lock.h"
#include "task/task_context.h"
#include "task/task_table.h"

namespace tavo {

namespace {

// Kept tasks, oldest first, linked through `next_ended`, under the lock. A task leaves the list
// under the lock and is then forgotten by the thread that took it out, alone.
struct ended_list_t {
    task_context_t* oldest = nullptr;
    task_context_t* newest = nullptr;
    std::size_t count = 0;
    std::size_t bytes = 0;
    std::uint8_t lock = 0;
};
ended_list_t ended;
std::atomic<std::uint32_t> kept_by_type[4];
std::atomic<std::size_t> pending_starts{0};

std::size_t retained_bytes(const task_context_t& task) noexcept {
    return sizeof(task_context_t) + (task.arena.segment_count() - 1) * arena_segment_size;
}

// Every live task's clock orders the task's last record. Kept tasks no longer access anything.
bool ordered_by_every_live_task(const task_context_t& task) noexcept {
    bool ordered = true;
    task_table.for_each_live([&](pinned_slot_t& entry) {
        task_context_t* other = task_of(entry);
        if (other->ended()) return true;
        ordered = other->clock.time_of(task.handle) > task.last_time;
        return ordered;
    });
    return ordered;
}

// Under the lock: takes the task out, `previous` being the one before it or null.
void unlink(task_context_t& task, task_context_t* previous) noexcept {
    (previous != nullptr ? previous->next_ended : ended.oldest) = task.next_ended;
    if (ended.newest == &task) ended.newest = previous;
    --ended.count;
    ended.bytes -= task.retained;
    kept_by_type[task.type].fetch_sub(1);
}

// Checking may have been on only for the tasks forgotten here.
void forget_all(task_context_t* doomed) noexcept {
    if (doomed == nullptr) return;
    while (doomed != nullptr) {
        task_context_t* next = doomed->next_ended;
        forget_ended_task(*doomed);
        doomed = next;
    }
    runtime.recompute_active_mask_checked();
}

}  // namespace

bool keep_ended_task(task_context_t& task) noexcept {
    if ((flags_word() & TAVO_FLAG_KEEP_ENDED_TASKS) == 0) return false;
    task.last_time = runtime.tsm.last_record_time(task);
    if (task.last_time == 0) return false;
    task.flags |= task_ended;
    task.retained = retained_bytes(task);
    task.next_ended = nullptr;
    task_context_t* doomed = nullptr;
    task_context_t** doomed_tail = &doomed;
    {
        spin_guard_t guard(ended.lock);
        (ended.newest != nullptr ? ended.newest->next_ended : ended.oldest) = &task;
        ended.newest = &task;
        ++ended.count;
        ended.bytes += task.retained;
        kept_by_type[task.type].fetch_add(1);
        while (ended.count > kept_task_limit || ended.bytes > kept_memory_limit) {
            task_context_t* oldest = ended.oldest;
            unlink(*oldest, nullptr);
            oldest->next_ended = nullptr;
            *doomed_tail = oldest;
            doomed_tail = &oldest->next_ended;
        }
    }
    forget_all(doomed);
    return true;
}

void hold_ended_tasks() noexcept { pending_starts.fetch_add(1); }

void release_ended_tasks() noexcept { pending_starts.fetch_sub(1); }

void forget_ordered_ended_tasks() noexcept {
    // Forgetting waits for a later task end or join; the bounds still apply meanwhile.
    if (pending_starts.load() != 0) return;
    task_context_t* doomed = nullptr;
    {
        spin_guard_t guard(ended.lock);
        task_context_t* previous = nullptr;
        for (task_context_t* task = ended.oldest; task != nullptr;) {
            task_context_t* next = task->next_ended;
            if (ordered_by_every_live_task(*task)) {
                unlink(*task, previous);
                task->next_ended = doomed;
                doomed = task;
            } else {
                previous = task;
            }
            task = next;
        }
    }
    forget_all(doomed);
}

bool forget_oldest_ended_task() noexcept {
    task_context_t* oldest = nullptr;
    {
        spin_guard_t guard(ended.lock);
        oldest = ended.oldest;
        if (oldest == nullptr) return false;
        unlink(*oldest, nullptr);
        oldest->next_ended = nullptr;
    }
    forget_all(oldest);
    return true;
}

std::uint32_t kept_task_count(std::int32_t type) noexcept { return kept_by_type[type].load(); }

bool any_task_kept() noexcept {
    for (const auto& count : kept_by_type)
        if (count.load(std::memory_order_relaxed) != 0) return true;
    return false;
}

bool ended_task_kept(std::int32_t type, std::uint64_t id) noexcept {
    spin_guard_t guard(ended.lock);
    for (const task_context_t* task = ended.oldest; task != nullptr; task = task->next_ended)
        if (task->type == type && task->id == id) return true;
    return false;
}

}  // namespace tavo
