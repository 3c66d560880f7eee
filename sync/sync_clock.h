// Vector clocks: happens-before between tasks.
#pragma once

#include <cstdint>

#include "sync/handle_map.h"

namespace tavo {

class arena_t;

// A handle map whose values are times. Time 0 is never stored: an absent entry reads as 0. An
// event that the task with handle h performed at time t is ordered before the holder of a clock
// exactly when the clock's entry for h is greater than t.
//
// Every operation that may add an entry holds the clock gate shared for its whole run, from the
// first read of a source to the last insertion, so that a handle retired meanwhile cannot be
// carried back into a clock from a stale read. Buckets come from the arena the caller names (the
// runtime's clock arena), zero-filled; a bucket that cannot be had is reported as out of memory
// and the entry is given up, the rest of the operation goes on.
struct sync_clock_t : handle_map_t {
    // A zero-filled clock from `arena`, or null after the arena reported the failure.
    static sync_clock_t* create(arena_t& arena) noexcept;

    // The entry of `handle`, 0 when absent.
    std::uint64_t time_of(std::uint16_t handle) noexcept;
    // The same, by the task whose clock this is. It alone inserts here, so a slot that holds the
    // handle may meanwhile be erased by retirement but not claimed for another: read without a pin.
    std::uint64_t own_time_of(std::uint16_t handle) noexcept;

    bool happens_before(std::uint16_t handle, std::uint64_t time) noexcept { return time_of(handle) > time; }

    // Raises the entry of `handle` to at least `time`, inserting it if absent.
    void raise_to(std::uint16_t handle, std::uint64_t time, arena_t& bucket_arena) noexcept;

    // Join and advance act on a task's clock, which nothing but retirement erases from (objects'
    // clocks are cleared, task clocks never are): with the gate held its slots stay put and are
    // read and raised without pins.
    //
    // For every live entry (h, t) of `source`, raises this clock's entry for h to t. A null source
    // is an empty clock. Entries found here are raised during the scan of the source; absent ones
    // wait in a scratch arena over this call's frame and are inserted after the scan, the last
    // found first. A scratch segment that cannot be had is reported as out of memory once, and
    // what was gathered is merged all the same. False when an entry was given up.
    bool join(sync_clock_t* source, arena_t& bucket_arena) noexcept;

    // The release step, on the releasing task's clock: tick, then publish into `object_clock`.
    void advance(std::uint64_t& time, std::uint16_t handle, sync_clock_t& object_clock, arena_t& bucket_arena) noexcept;
    // Ticks the task's `time` (at 2^64 - 1 it reports the overflow and keeps the time) and records
    // the time under the task's `handle` in this clock. Returns the entry's value word, which stays
    // put while the task runs (null when no bucket could be had): later ticks may raise it in place.
    std::uint64_t* tick(std::uint64_t& time, std::uint16_t handle, arena_t& bucket_arena) noexcept;
    // Joins this clock into `object_clock`. False when an entry was given up.
    bool publish(sync_clock_t& object_clock, arena_t& bucket_arena) noexcept;

    // Erases every entry, holding the insert lock so that no insertion of a handle runs while it
    // is erased, and the gate shared so that retirement erases nothing at the same time. Readers
    // meanwhile see any mix of erased and remaining entries; the freed slots serve later inserts.
    void clear() noexcept;

    // Whether every entry of this clock is at most `other`'s entry for the same handle.
    bool covered_by(sync_clock_t& other) noexcept;

private:
    // The caller holds the clock gate shared. False when a bucket could not be had.
    bool raise_to_gated(std::uint16_t handle, std::uint64_t time, arena_t& bucket_arena) noexcept;
    // The value word of the handle's live entry in a clock nothing erases from meanwhile, or null.
    std::uint64_t* unerased_value(std::uint16_t handle) noexcept;
    template <class Entries, class Raise>
    bool merge_gated(Entries&& for_each_entry, Raise&& raise_found, arena_t& bucket_arena) noexcept;
};
static_assert(sizeof(sync_clock_t) == sizeof(handle_map_t));

}  // namespace tavo
