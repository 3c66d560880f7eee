#include "sync/sync_object.h"

#include <new>

#include "runtime/errors.h"
#include "runtime/runtime.h"
#include "runtime/spin_lock.h"
#include "sync/sync_clock.h"

namespace tavo {

namespace {

// Each thread remembers the clocks it found, so that the objects it uses over and over (its locks,
// its atomics) are found without the runtime lock. Clocks are never freed, only unlinked from their
// table, and every unlinking moves the generation on, which drops every thread's remembered
// entries: an entry is used only while the generation it was read under (read under the lock,
// before the look-up) is still current. An entry used just before a removal acts on the old clock,
// as a look-up under the lock that came just before the removal would.
std::atomic<std::uint64_t> table_generation{1};

struct remembered_clock_t {
    std::uint64_t generation;
    std::uint64_t id;
    std::uint32_t type;
    object_clock_t* clock;
};
constexpr std::size_t remembered_count = 32;
#ifndef _WIN32
// The library is loaded with the program: one load off the thread pointer reaches them.
thread_local __attribute__((tls_model("initial-exec"))) remembered_clock_t remembered[remembered_count];
#else
thread_local remembered_clock_t remembered[remembered_count];
#endif

remembered_clock_t& remembered_slot(sync_object_t object) {
    const std::uint64_t mixed = (object.id ^ (object.id >> 17) ^ object.type) * 0x9E3779B97F4A7C15u;
    return remembered[mixed >> 59];
}

object_clock_t* remembered_clock(sync_object_t object) {
    const remembered_clock_t& slot = remembered_slot(object);
    if (slot.id != object.id || slot.type != object.type ||
        slot.generation != table_generation.load(std::memory_order_acquire))
        return nullptr;
    return slot.clock;
}

void remember(sync_object_t object, object_clock_t* clock, std::uint64_t generation) {
    if (clock != nullptr) remembered_slot(object) = {generation, object.id, object.type, clock};
}

}  // namespace

sync_object_t resolve_alias(sync_object_t object) noexcept {
    spin_guard_t guard(sync_aliases.lock);
    const auto& table = sync_aliases.tables[object.type];
    const auto found = table.find(object.id);
    return found != table.end() ? found->second : object;
}

void record_alias(sync_object_t object, sync_object_t target) noexcept {
    bool stored = false;
    {
        spin_guard_t guard(sync_aliases.lock);
        try {
            auto& table = sync_aliases.tables[object.type];
            table[object.id] = target;
            sync_aliases.sizes[object.type].store(table.size(), std::memory_order_release);
            stored = true;
        } catch (const std::bad_alloc&) {
        }
    }
    if (!stored) raise_system_error_at_thread_site(error::out_of_memory);
}

void remove_alias(sync_object_t object) noexcept {
    spin_guard_t guard(sync_aliases.lock);
    auto& table = sync_aliases.tables[object.type];
    table.erase(object.id);
    sync_aliases.sizes[object.type].store(table.size(), std::memory_order_release);
}

object_clock_t* get_or_create_clock(sync_object_t object) noexcept {
    if (object_clock_t* clock = remembered_clock(object)) return clock;
    runtime_lock_guard_t guard;
    const std::uint64_t generation = table_generation.load(std::memory_order_relaxed);
    sync_table_t& table = runtime.sync_tables[object.type];
    sync_table_t::iterator entry;
    try {
        entry = table.try_emplace(object.id, nullptr).first;
    } catch (const std::bad_alloc&) {
        raise_system_error_at_thread_site(error::out_of_memory);
        return nullptr;
    }
    if (entry->second == nullptr) {
        void* memory = runtime.arena.allocate(sizeof(object_clock_t));
        entry->second = memory != nullptr ? new (memory) object_clock_t() : nullptr;
    }
    remember(object, entry->second, generation);
    return entry->second;
}

object_clock_t* find_clock(sync_object_t object) noexcept {
    if (object_clock_t* clock = remembered_clock(object)) return clock;
    runtime_lock_guard_t guard;
    const std::uint64_t generation = table_generation.load(std::memory_order_relaxed);
    const sync_table_t& table = runtime.sync_tables[object.type];
    const auto found = table.find(object.id);
    if (found == table.end()) return nullptr;
    remember(object, found->second, generation);
    return found->second;
}

void remove_object(sync_object_t object) noexcept {
    runtime_lock_guard_t guard;
    if (runtime.sync_tables[object.type].erase(object.id) != 0) table_generation.fetch_add(1, std::memory_order_acq_rel);
}

void retire_handle_from_sync_objects(std::uint16_t handle) noexcept {
    runtime_lock_guard_t guard;
    for (sync_table_t& table : runtime.sync_tables) {
        for (auto& [id, clock] : table) {
            if (clock != nullptr) clock->erase(handle);
        }
    }
}

}  // namespace tavo
