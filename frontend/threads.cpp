#include "frontend/threads.h"

#include <atomic>

#include "frontend/frontend.h"
#include "frontend/host.h"
#include "frontend/thread_stack.h"
#include "runtime/site_entries.h"

namespace tavo::frontend {

namespace {

// One slot per thread task id; written by the creator before the thread exists and by the thread
// itself, read by reports. Threads beyond the table are not described.
struct thread_slot_t {
    std::atomic<int> tid;
    std::atomic<bool> finished;
    std::uint64_t creator = 0;
    stack_id_t created_at = 0;
    std::atomic<std::uintptr_t> stack_low, stack_high;
};
constexpr std::size_t thread_capacity = 1 << 16;
// Constant-initialised, so that the table's pages stay untouched until threads use them.
constinit thread_slot_t threads[thread_capacity];
std::atomic<std::uint64_t> highest_thread{0};
// The main thread loads the library; its initial task bears its system id.
const int main_tid = system_thread_id();
thread_local std::uint64_t this_thread = 0;

std::uintptr_t main_low = 0, main_high = 0;

constexpr std::size_t held_capacity = 32;
thread_local held_lock_t held[held_capacity];
thread_local std::size_t held_count = 0;

void lockset_changed() {
    if (!keep_history) return;
    stack_id_t locks = 0;
    for (std::size_t index = 0; index < held_count; ++index)
        locks = intern(locks, held[index].write ? node_kind_t::write_lock : node_kind_t::read_lock, held[index].address,
                       held[index].where);
    set_lockset(locks);
}

}  // namespace

void thread_created(std::uint64_t task_id, std::uint64_t site) noexcept {
    // The main thread's stack is asked for once, on the main thread: reading it walks the process's mappings.
    if (this_thread == 0 && main_high == 0) stack_range(main_low, main_high);
    thread_created(task_id, this_thread, stack_unwound(site));
}

void thread_created(std::uint64_t task_id, std::uint64_t creator, stack_id_t created_at) noexcept {
    if (task_id == 0 || task_id >= thread_capacity) return;
    thread_slot_t& slot = threads[task_id];
    slot.creator = creator;
    slot.created_at = created_at;
    slot.finished.store(false);
    slot.tid.store(0);
    std::uint64_t highest = highest_thread.load();
    while (highest < task_id && !highest_thread.compare_exchange_weak(highest, task_id)) {
    }
}

void thread_started(std::uint64_t task_id) noexcept {
    this_thread = task_id;
    if (task_id == 0 || task_id >= thread_capacity) return;
    std::uintptr_t low = 0, high = 0;
    if (stack_range(low, high)) {
        threads[task_id].stack_low.store(low);
        threads[task_id].stack_high.store(high);
        // The stack, with the static thread-locals at its top, may be an ended thread's that the C
        // library kept for reuse: nothing that thread did there is this one's race.
        memory_block_from(reinterpret_cast<const void*>(low), high - low, false, 0);
    }
    threads[task_id].tid.store(system_thread_id());
}

void thread_finished() noexcept {
    if (this_thread != 0 && this_thread < thread_capacity) threads[this_thread].finished.store(true);
}

bool thread_info(std::uint64_t task_id, thread_info_t& info) noexcept {
    if (task_id == 0) {
        info = {main_tid, false, 0, 0, 0, 0};
        return true;
    }
    if (task_id >= thread_capacity || task_id > highest_thread.load()) return false;
    const thread_slot_t& slot = threads[task_id];
    info = {slot.tid.load(), slot.finished.load(), slot.creator, slot.created_at, slot.stack_low.load(), slot.stack_high.load()};
    return true;
}

bool thread_of_stack(std::uint64_t address, std::uint64_t& task_id) noexcept {
    const std::uint64_t highest = highest_thread.load();
    for (std::uint64_t index = 1; index <= highest && index < thread_capacity; ++index) {
        if (address >= threads[index].stack_low.load() && address < threads[index].stack_high.load() &&
            !threads[index].finished.load()) {
            task_id = index;
            return true;
        }
    }
    task_id = 0;
    return address >= main_low && address < main_high;
}

std::uint64_t current_thread() noexcept { return this_thread; }

bool is_main_thread(std::uint64_t system_id) noexcept { return system_id == static_cast<std::uint64_t>(main_tid); }

void lock_acquired(const void* lock, bool write, std::uint64_t site) noexcept {
    inside_library_t inside;
    if (held_count == held_capacity) return;
    held[held_count++] = {reinterpret_cast<std::uintptr_t>(lock), write, stack_at(site)};
    lockset_changed();
}

void lock_released(const void* lock) noexcept {
    inside_library_t inside;
    for (std::size_t index = held_count; index-- > 0;) {
        if (held[index].address != reinterpret_cast<std::uintptr_t>(lock)) continue;
        for (--held_count; index < held_count; ++index) held[index] = held[index + 1];
        lockset_changed();
        return;
    }
}

std::size_t held_locks(held_lock_t* locks, std::size_t capacity) noexcept {
    std::size_t count = 0;
    for (; count < held_count && count < capacity; ++count) locks[count] = held[count];
    return count;
}

std::size_t locks_of(stack_id_t history, held_lock_t* locks, std::size_t capacity) noexcept {
    const stack_node_t* node = node_of(history);
    if (node == nullptr || node->kind() != node_kind_t::with_locks) return 0;
    std::size_t count = 0;
    for (node = node_of(node->aux); node != nullptr && count < capacity; node = node_of(node->parent))
        locks[count++] = {node->address(), node->kind() == node_kind_t::write_lock, node->aux};
    return count;
}

}  // namespace tavo::frontend
