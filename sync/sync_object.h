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

// Each thread remembers the clocks it found, so that the objects it uses over and over (its locks,
// its atomics) are found without the runtime lock. Clocks are never freed, only unlinked from their
// table, and every unlinking moves the generation on, which drops every thread's remembered
// entries: an entry is used only while the generation it was read under (read under the lock,
// before the look-up) is still current. An entry used just before a removal acts on the old clock,
// as a look-up under the lock that came just before the removal would.
struct remembered_clock_t {
    std::uint64_t generation;
    std::uint64_t id;
    std::uint32_t type;
    object_clock_t* clock;
};
constexpr std::size_t remembered_count = 32;
extern std::atomic<std::uint64_t> table_generation;
#ifndef _WIN32
// The library is loaded with the program: one load off the thread pointer reaches them, plain
// storage with no initialiser to check for.
extern __thread __attribute__((tls_model("initial-exec"))) remembered_clock_t remembered_clocks[remembered_count];
#else
extern thread_local remembered_clock_t remembered_clocks[remembered_count];
#endif

inline remembered_clock_t& remembered_slot(sync_object_t object) noexcept {
    const std::uint64_t mixed = (object.id ^ (object.id >> 17) ^ object.type) * 0x9E3779B97F4A7C15u;
    return remembered_clocks[mixed >> 59];
}

inline object_clock_t* remembered_clock(sync_object_t object) noexcept {
    const remembered_clock_t& slot = remembered_slot(object);
    if (slot.id != object.id || slot.type != object.type ||
        slot.generation != table_generation.load(std::memory_order_acquire))
        return nullptr;
    return slot.clock;
}

object_clock_t* get_or_create_clock_slowly(sync_object_t object) noexcept;
object_clock_t* find_clock_slowly(sync_object_t object) noexcept;
// The object's clock, created empty on first use; null after -9998 was reported.
inline object_clock_t* get_or_create_clock(sync_object_t object) noexcept {
    object_clock_t* clock = remembered_clock(object);
    return clock != nullptr ? clock : get_or_create_clock_slowly(object);
}
// The object's clock, or null when it has none.
inline object_clock_t* find_clock(sync_object_t object) noexcept {
    object_clock_t* clock = remembered_clock(object);
    return clock != nullptr ? clock : find_clock_slowly(object);
}
// Forgets the object; its next use starts from an empty clock.
void remove_object(sync_object_t object) noexcept;

// Erases the handle from every sync object's clock. Under the clock gate, closed.
void retire_handle_from_sync_objects(std::uint16_t handle) noexcept;

}  // namespace tavo
