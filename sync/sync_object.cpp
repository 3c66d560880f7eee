#include "sync/sync_object.h"

#include <new>

#include "runtime/errors.h"
#include "runtime/runtime.h"
#include "runtime/spin_lock.h"
#include "sync/sync_clock.h"

namespace tavo {

std::atomic<std::uint64_t> table_generation{1};
#ifndef _WIN32
__thread __attribute__((tls_model("initial-exec"))) remembered_clock_t remembered_clocks[remembered_count];
#else
thread_local remembered_clock_t remembered_clocks[remembered_count];
#endif

namespace {

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

object_clock_t* get_or_create_clock_slowly(sync_object_t object) noexcept {
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

object_clock_t* find_clock_slowly(sync_object_t object) noexcept {
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
