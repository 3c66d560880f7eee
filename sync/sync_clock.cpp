#include "sync/sync_clock.h"

#include <new>

#include "runtime/errors.h"
#include "runtime/spin_lock.h"
#include "sync/clock_gate.h"
#include "tsm/arena.h"

namespace tavo {

namespace {

struct pending_entry_t {
    pending_entry_t* next;
    std::uint16_t handle;
    std::uint64_t time;
};
static_assert(sizeof(pending_entry_t) == 24);

}  // namespace

sync_clock_t* sync_clock_t::create(arena_t& arena) noexcept {
    void* memory = arena.allocate(sizeof(sync_clock_t));
    return memory != nullptr ? new (memory) sync_clock_t() : nullptr;
}

std::uint64_t sync_clock_t::time_of(std::uint16_t handle) noexcept {
    const pinned_slot_t entry = find(handle);
    return entry ? entry.value() : 0;
}

std::uint64_t sync_clock_t::own_time_of(std::uint16_t handle) noexcept {
    std::uint64_t* value = unerased_value(handle);
    return value != nullptr ? std::atomic_ref<std::uint64_t>(*value).load() : 0;
}

std::uint64_t* sync_clock_t::unerased_value(std::uint16_t handle) noexcept {
    for (handle_bucket_t* bucket = &head; bucket != nullptr; bucket = std::atomic_ref<handle_bucket_t*>(bucket->next).load()) {
        for (unsigned slot = 0; slot < bucket_slots; ++slot) {
            if (std::atomic_ref<std::uint16_t>(bucket->keys[slot]).load() != handle) continue;
            // Zero while an inserter fills the slot: absent until then.
            if (std::atomic_ref<std::uint64_t>(bucket->values[slot]).load() != 0) return &bucket->values[slot];
        }
    }
    return nullptr;
}

bool sync_clock_t::raise_to_gated(std::uint16_t handle, std::uint64_t time, arena_t& bucket_arena) noexcept {
    if (pinned_slot_t entry = find(handle)) {
        entry.raise(time);
        return true;
    }
    insert_result_t result = insert(handle, time, bucket_arena);
    if (result.existing) result.existing.raise(time);
    return result.status != insert_status_t::failed;
}

void sync_clock_t::raise_to(std::uint16_t handle, std::uint64_t time, arena_t& bucket_arena) noexcept {
    shared_gate_guard_t gate(clock_gate);
    raise_to_gated(handle, time, bucket_arena);
}

bool sync_clock_t::join(sync_clock_t* source, arena_t& bucket_arena) noexcept {
    if (source == nullptr || source == this) return true;
    shared_gate_guard_t gate(clock_gate);
    return merge_gated(
        [&](auto&& visit) { source->for_each_live([&](pinned_slot_t& entry) { visit(entry.handle(), entry.value()); }); },
        [&](std::uint16_t handle, std::uint64_t time) {
            std::uint64_t* mine = unerased_value(handle);
            if (mine != nullptr) raise_value(*mine, time);
            return mine != nullptr;
        },
        bucket_arena);
}

// Absent entries are gathered first and inserted after the scan: no slot of the source stays pinned
// while this clock grows, as a clock may be joined into another while that one is joined into it.
template <class Entries, class Raise>
bool sync_clock_t::merge_gated(Entries&& for_each_entry, Raise&& raise_found, arena_t& bucket_arena) noexcept {
    scratch_arena_t scratch;
    pending_entry_t* pending = nullptr;
    bool scratch_exhausted = false;
    for_each_entry([&](std::uint16_t handle, std::uint64_t time) {
        if (raise_found(handle, time) || scratch_exhausted) return;
        std::int32_t error_code = 0;
        void* memory = scratch.allocate_unreported(sizeof(pending_entry_t), error_code);
        if (memory == nullptr) {
            scratch_exhausted = true;
            return;
        }
        pending = new (memory) pending_entry_t{pending, handle, time};
    });
    if (scratch_exhausted) raise_system_error_at_thread_site(error::out_of_memory);

    // After one bucket failed, entries are only raised where another inserter put them meanwhile:
    // every further insertion would fail the same way and report it again.
    bool buckets_exhausted = false;
    for (; pending != nullptr; pending = pending->next) {
        if (buckets_exhausted) {
            if (pinned_slot_t mine = find(pending->handle)) mine.raise(pending->time);
        } else {
            buckets_exhausted = !raise_to_gated(pending->handle, pending->time, bucket_arena);
        }
    }
    return !scratch_exhausted && !buckets_exhausted;
}

void sync_clock_t::advance(std::uint64_t& time, std::uint16_t handle, sync_clock_t& object_clock,
                           arena_t& bucket_arena) noexcept {
    tick(time, handle, bucket_arena);
    publish(object_clock, bucket_arena);
}

// The task's own entry is never erased while the task runs: once there, it is raised without the gate.
std::uint64_t* sync_clock_t::tick(std::uint64_t& time, std::uint16_t handle, arena_t& bucket_arena) noexcept {
    if (time == UINT64_MAX) raise_usage_error_at_thread_site(error::sync_clock_overflow);
    else ++time;
    if (std::uint64_t* mine = unerased_value(handle)) {
        raise_value(*mine, time);
        return mine;
    }
    shared_gate_guard_t gate(clock_gate);
    raise_to_gated(handle, time, bucket_arena);
    return unerased_value(handle);
}

bool sync_clock_t::publish(sync_clock_t& object_clock, arena_t& bucket_arena) noexcept {
    if (&object_clock == this) return true;
    shared_gate_guard_t gate(clock_gate);
    return object_clock.merge_gated(
        [&](auto&& visit) {
            for (handle_bucket_t* bucket = &head; bucket != nullptr;
                 bucket = std::atomic_ref<handle_bucket_t*>(bucket->next).load()) {
                for (unsigned slot = 0; slot < bucket_slots; ++slot) {
                    const std::uint16_t key = std::atomic_ref<std::uint16_t>(bucket->keys[slot]).load();
                    const std::uint64_t value = std::atomic_ref<std::uint64_t>(bucket->values[slot]).load();
                    if (key != 0 && value != 0) visit(key, value);
                }
            }
        },
        [&](std::uint16_t theirs, std::uint64_t at) {
            pinned_slot_t entry = object_clock.find(theirs);
            if (entry) entry.raise(at);
            return static_cast<bool>(entry);
        },
        bucket_arena);
}

}  // namespace tavo

namespace tavo {

void sync_clock_t::clear() noexcept {
    shared_gate_guard_t gate(clock_gate);
    spin_guard_t guard(insert_lock);
    for (handle_bucket_t* bucket = &head; bucket != nullptr; bucket = std::atomic_ref<handle_bucket_t*>(bucket->next).load())
        for (std::uint16_t& key : bucket->keys)
            if (const std::uint16_t handle = std::atomic_ref<std::uint16_t>(key).load()) erase(handle);
}

bool sync_clock_t::covered_by(sync_clock_t& other) noexcept {
    bool covered = true;
    for_each_live([&](pinned_slot_t& entry) { return covered = other.time_of(entry.handle()) >= entry.value(); });
    return covered;
}

}  // namespace tavo
