#include "sync/sync_object.h"

#include <new>

#include "runtime/errors.h"
#include "runtime/runtime.h"
#include "runtime/spin_lock.h"
#include "sync/sync_clock.h"

namespace tavo {

namespace {

bool has_aliases(std::uint32_t type) {
    // Read without the lock: an alias made while an operation is already under way may be missed.
    return sync_aliases.sizes[type].load(std::memory_order_acquire) != 0;
}

}  // namespace

sync_object_t resolve(const sync_object_t& object) noexcept {
    if (!has_aliases(object.type)) return object;
    spin_guard_t guard(sync_aliases.lock);
    const auto& table = sync_aliases.tables[object.type];
    const auto found = table.find(object.id);
    return found != table.end() ? found->second : object;
}

void record_alias(const sync_object_t& object, const sync_object_t& target) noexcept {
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

void remove_alias(const sync_object_t& object) noexcept {
    spin_guard_t guard(sync_aliases.lock);
    auto& table = sync_aliases.tables[object.type];
    table.erase(object.id);
    sync_aliases.sizes[object.type].store(table.size(), std::memory_order_release);
}

sync_clock_t* get_or_create_clock(const sync_object_t& object) noexcept {
    runtime_lock_guard_t guard;
    sync_table_t& table = runtime.sync_tables[object.type];
    sync_table_t::iterator entry;
    try {
        entry = table.try_emplace(object.id, nullptr).first;
    } catch (const std::bad_alloc&) {
        raise_system_error_at_thread_site(error::out_of_memory);
        return nullptr;
    }
    if (entry->second == nullptr) entry->second = sync_clock_t::create(runtime.arena);
    return entry->second;
}

sync_clock_t* find_clock(const sync_object_t& object) noexcept {
    runtime_lock_guard_t guard;
    const sync_table_t& table = runtime.sync_tables[object.type];
    const auto found = table.find(object.id);
    return found != table.end() ? found->second : nullptr;
}

void remove_object(const sync_object_t& object) noexcept {
    runtime_lock_guard_t guard;
    runtime.sync_tables[object.type].erase(object.id);
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
