// Sync objects: what the program synchronises through, named by (sync type, sync id). Each gets
// its clock on first use; an alias lets one pair stand for another.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "runtime/memory.h"
#include "sync/sync_clock.h"

namespace tavo {

constexpr std::uint32_t sync_type_count = 9;
constexpr std::uint32_t task_start_sync_type = 5;
constexpr std::uint32_t task_end_sync_type = 6;

struct sync_object_t {
    std::uint32_t type;
    std::uint64_t id;
    bool operator==(const sync_object_t&) const = default;
};

inline bool is_valid_sync_type(std::uint32_t type) noexcept { return type < sync_type_count; }
// The program may make its own objects stand for these: type 4, and the fork objects.
inline bool is_alias_target_type(std::uint32_t type) noexcept {
    return type == 4 || type == task_start_sync_type || type == task_end_sync_type;
}

// An object's clock and its count of changes. Protocol: every release into the clock moves the
// count on once its entries are in place; a clear moves it on before it takes entries away and
// again after. So a task that read count c before it joined the whole clock, and finds the count
// still c, knows the clock again, and its acquire would change nothing. A releaser that knows the
// clock at count c and finds c still there after its release moves the count to c + 1 by
// compare-and-swap and knows the clock at c + 1: its release added only its own entries. If that
// release published the task's whole clock, the clock at c + 1 also holds it; until the task's
// clock gains by an acquire, its next release at the same count only raises the task's own entry.
// Another release under way meanwhile moves the count after its entries are in, before the
// releasing operation lets anyone observe it.
struct object_clock_t : sync_clock_t {
    std::uint64_t changes = 0;
};

// Per type: sync id to the object's clock. Guarded by the runtime lock.
using sync_table_t = map_t<std::uint64_t, object_clock_t*>;

// Per type: sync id to the object the pair stands for. Guarded by the alias lock, which is never
// held together with the runtime lock.
struct sync_aliases_t {
    map_t<std::uint64_t, sync_object_t> tables[sync_type_count];
    // Each table's size, stored under the lock after every change: resolution reads it without
    // the lock, which the map's own size is not safe for.
    std::atomic<std::size_t> sizes[sync_type_count] = {};
    std::uint8_t lock = 0;
};
extern sync_aliases_t& sync_aliases;

sync_object_t resolve_alias(sync_object_t object) noexcept;
// The object an operation on `object` acts on: its alias target, or itself. One level only. The
// size is read without the lock: an alias made while an operation is already under way may be missed.
inline sync_object_t resolve(sync_object_t object) noexcept {
    return sync_aliases.sizes[object.type].load(std::memory_order_acquire) != 0 ? resolve_alias(object) : object;
}
// Records that `object` stands for `target` (flattened through the target's own alias). The
// caller has checked both types.
void record_alias(sync_object_t object, sync_object_t target) noexcept;
void remove_alias(sync_object_t object) noexcept;

// The object's clock, created empty on first use; null after -9998 was reported.
object_clock_t* get_or_create_clock(sync_object_t object) noexcept;
// The object's clock, or null when it has none.
object_clock_t* find_clock(sync_object_t object) noexcept;
// Forgets the object; its next use starts from an empty clock.
void remove_object(sync_object_t object) noexcept;

// Erases the handle from every sync object's clock. Under the clock gate, closed.
void retire_handle_from_sync_objects(std::uint16_t handle) noexcept;

}  // namespace tavo
