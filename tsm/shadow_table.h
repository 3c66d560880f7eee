// Shadow memory: for every 8-byte granule that an instrumented access touched, a shadow cell that
// names the tasks which accessed it.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "tsm/access_record.h"

namespace tavo {

class arena_t;

// A task's slot in a shadow cell: its tag (the task's handle, the readers' pins and the erasing
// bit, in one word so that a reader pins and checks with one operation), the position of the
// record that its entry's value (access_record.h) holds inline, and the value. The position is
// written before the value and keeps until the slot is erased.
struct shadow_slot_t {
    std::uint32_t tag;       // 0: free
    std::uint32_t position;  // position_t word of the inline record
    std::uint64_t value;     // 0 while being filled or erased
};
static_assert(sizeof(shadow_slot_t) == 16);
constexpr std::uint32_t slot_key_bits = 0xffff;
constexpr std::uint32_t slot_pin_unit = 0x10000;
constexpr std::uint32_t slot_erasing = 0x80000000;

// The inline record's position; relaxed, as it is published by the value.
inline position_t slot_position(shadow_slot_t& slot) noexcept {
    return std::bit_cast<position_t>(std::atomic_ref<std::uint32_t>(slot.position).load(std::memory_order_relaxed));
}
constexpr std::uint8_t cell_conflict_seen = 0x1;
// Set for good by the first plain (not atomic) record made in the cell.
constexpr std::uint8_t cell_plain_seen = 0x2;
// Set for good by the first record that modifies: a plain write or update, or an atomic update.
constexpr std::uint8_t cell_modified_seen = 0x4;
// What a record of `type` marks its cell with: plain, modifying (an atomic read: neither).
constexpr std::uint8_t cell_marks(std::uint32_t type) noexcept {
    constexpr std::uint8_t marks[access_type::count] = {cell_plain_seen, cell_plain_seen | cell_modified_seen,
                                                        cell_plain_seen | cell_modified_seen, cell_modified_seen, 0};
    return marks[type];
}
// A further slot of a cell, from the detector's cell arena, filled before it is linked; it lives
// until the table is released.
struct shadow_bucket_t {
    shadow_slot_t slot;
    shadow_bucket_t* next;
};

// The buckets a task carves out of the cell arena a chunk at a time, so that claims by tasks in
// different cells do not all bounce the arena's one counter. A chunk grows with the task's use, so
// that what a task leaves unused at its end is at most what it used. Task only, while busy;
// dropped by a reset, which rewinds the arena.
struct bucket_chunk_t {
    shadow_bucket_t* next = nullptr;
    shadow_bucket_t* end = nullptr;
    std::uint32_t carved = 0;

    // A bucket, uninitialised; null when none could be had: `error_code` tells why.
    shadow_bucket_t* take(arena_t& arena, std::int32_t& error_code) noexcept;
    // The bucket just taken, unused.
    void give_back(shadow_bucket_t* bucket) noexcept { next = bucket; }
};

// A slot of another task, pinned: it is not erased until the pin is released.
class pinned_cell_slot_t {
public:
    explicit pinned_cell_slot_t(shadow_slot_t& slot) noexcept : slot_(slot) {}
    ~pinned_cell_slot_t() { std::atomic_ref<std::uint32_t>(slot_.tag).fetch_sub(slot_pin_unit); }
    pinned_cell_slot_t(const pinned_cell_slot_t&) = delete;
    pinned_cell_slot_t& operator=(const pinned_cell_slot_t&) = delete;

    std::uint16_t handle() const noexcept {
        return static_cast<std::uint16_t>(std::atomic_ref<std::uint32_t>(slot_.tag).load(std::memory_order_relaxed));
    }
    std::uint64_t value() const noexcept { return std::atomic_ref<std::uint64_t>(slot_.value).load(); }
    shadow_slot_t& slot() const noexcept { return slot_; }

private:
    shadow_slot_t& slot_;
};

// A map from task handle to entry, one slot in the cell, which lies in its leaf table, and the
// others in buckets chained from it. The cell's links word holds its entry count (bits 48 to 63),
// the address of its first bucket (bits 3 to 46; no user-space address sets bit 47) and the cell's
// flags (bits 0 to 2): one word, so that a cell takes 24 bytes.
//
// Protocol. A task claims a free slot (tag 0) by a compare-and-swap of the tag to its handle,
// stores position, then the value (release), and counts the entry and sets its record's marks in
// one read-modify-write of the links word, which so publishes the value to every later reader of
// the count or the flags. Finding no slot free, it appends a bucket that already holds its entry
// by a compare-and-swap of the last link from null, and counts as above; the first bucket's
// compare-and-swap is the links word's, which counts and marks in the same step. A claimer that
// loses the race looks again. Buckets are never unlinked. Only the task itself claims, changes and
// erases its slot. It erases by setting the erasing bit, waiting until the tag is its handle and
// that bit alone (no reader left), clearing the value, counting down and storing the tag zero. A
// reader pins a slot by a compare-and-swap that adds a pin to a tag with a handle and no erasing
// bit, then uses the slot only if the value is non-zero; otherwise it unpins at once. So a slot
// being filled or erased reads as absent, no pin is left on a free slot, and a used slot keeps its
// handle and position until its last pin is gone. Tags, links and the links word are sequentially
// consistent; the eraser's stores need no more than release, as no reader uses the slot from the
// time the erasing bit is set until it is claimed again.
// Iteration runs from the cell's slot through the buckets in order.
struct shadow_cell_t {
    shadow_slot_t slot;
    std::uint64_t links;

    static constexpr std::uint64_t count_unit = std::uint64_t{1} << 48;
    static constexpr std::uint64_t bucket_bits = (std::uint64_t{1} << 47) - 8;
    static constexpr std::uint64_t flag_bits = 7;

    std::uint16_t entry_count() const noexcept { return static_cast<std::uint16_t>(links_word().load() >> 48); }
    std::uint8_t flags() const noexcept { return static_cast<std::uint8_t>(links_word().load() & flag_bits); }
    // The flags as they were before.
    std::uint8_t set_flags(std::uint8_t flags) noexcept { return static_cast<std::uint8_t>(links_word().fetch_or(flags) & flag_bits); }
    void clear_flags(std::uint8_t flags) noexcept { links_word().fetch_and(~std::uint64_t{flags}); }
    shadow_bucket_t* first_bucket(std::memory_order order = std::memory_order_seq_cst) const noexcept {
        return reinterpret_cast<shadow_bucket_t*>(links_word().load(order) & bucket_bits);
    }

    // Calls stop(slot) for every slot in iteration order until it returns true; true when it did.
    template <class Stop>
    bool each_slot(Stop&& stop) noexcept {
        if (stop(slot)) return true;
        for (shadow_bucket_t* bucket = first_bucket(); bucket != nullptr; bucket = next_of(bucket->next))
            if (stop(bucket->slot)) return true;
        return false;
    }

    // visit(pinned_cell_slot_t&) for every live slot, pinned during the call, but those that
    // skip(key, value) passes over, on key and value read unpinned (a stale key may go with them).
    template <class Visit, class Skip>
    void for_each_live(Visit&& visit, Skip&& skip) noexcept {
        each_slot([&](shadow_slot_t& each) {
            std::atomic_ref<std::uint32_t> tag(each.tag);
            std::uint32_t word = tag.load();
            do {
                if ((word & slot_key_bits) == 0 || (word & slot_erasing) != 0 ||
                    skip(static_cast<std::uint16_t>(word), std::atomic_ref<std::uint64_t>(each.value).load()))
                    return false;
            } while (!tag.compare_exchange_weak(word, word + slot_pin_unit));
            pinned_cell_slot_t pinned(each);
            if (pinned.value() != 0) visit(pinned);
            return false;
        });
    }
    template <class Visit>
    void for_each_live(Visit&& visit) noexcept {
        for_each_live(visit, [](std::uint16_t, std::uint64_t) { return false; });
    }

    // A slot for `handle`, which has none in the cell, filled with the inline record's position and
    // `value`, the cell marked with `marks` (cell_marks). Null when no bucket could be had:
    // `error_code` tells why.
    shadow_slot_t* claim(std::uint16_t handle, position_t position, std::uint64_t value, bucket_chunk_t& buckets,
                         arena_t& bucket_arena, std::int32_t& error_code, std::uint8_t marks = 0) noexcept;
    // The same in `each` only, which is the cell's or one of its buckets': the links word as the
    // claim left it, or 0 when the slot was taken.
    std::uint64_t claim_in(shadow_slot_t& each, std::uint16_t handle, position_t position, std::uint64_t value,
                           std::uint8_t marks) noexcept;
    // No entry, no bucket, no flag: nothing to compare with and nothing to settle.
    bool untouched() const noexcept { return links_word().load(std::memory_order_relaxed) == 0; }
    // Erases the task's own slot; the task holds no pin on it.
    void erase(shadow_slot_t& own) noexcept;
    std::size_t bucket_count() noexcept;

private:
    std::atomic_ref<std::uint64_t> links_word() const noexcept {
        return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(links));
    }
    static shadow_bucket_t* next_of(shadow_bucket_t*& link) noexcept {
        return std::atomic_ref<shadow_bucket_t*>(link).load();
    }
    // Counts an entry stored in the cell and sets its marks: the links word as it left it.
    std::uint64_t count_in(std::uint8_t marks) noexcept;
};
static_assert(sizeof(shadow_cell_t) == 24);

constexpr unsigned shadow_fanout = 1024;
constexpr unsigned region_shift = 23;     // a region covers 8 MiB
constexpr unsigned directory_shift = 13;  // a leaf table covers 8 KiB
constexpr unsigned granule_shift = 3;
// The granules of one leaf table share granule & ~leaf_span_mask.
constexpr std::uint64_t leaf_span_mask = (std::uint64_t{1} << directory_shift) - 1;

// Mapped zero-filled from the system, so that only the pages of cells in use take memory.
struct leaf_table_t {
    shadow_cell_t cells[shadow_fanout];

    shadow_cell_t& cell_of(std::uint64_t granule) noexcept { return cells[(granule >> granule_shift) & (shadow_fanout - 1)]; }
};
struct directory_t {
    leaf_table_t* leaves[shadow_fanout];
};
struct shadow_region_t {
    shadow_region_t* next;
    std::uint64_t base;
    directory_t* directory;
};

struct cell_lookup_t {
    shadow_cell_t* cell;      // null on failure
    leaf_table_t* leaves;     // the cell's leaf table, when it exists
    std::int32_t error_code;  // on failure: -9998
};

// A sparse three-level map from granule address to shadow cell: a list of regions sorted by base,
// each with a directory of leaf tables of cells. Regions and directories come from the heap
// zero-filled, leaf tables from the system, those of spans streamed into from the pool below.
//
// Protocol. Readers descend without a lock. Every level grows by one pointer store (release) of a
// fully initialised object, made under the lock of that level after the entry was read again
// (region list lock; the directory lock of the index, shared by all regions), so
// two threads that miss the same entry create it once. Nothing is unlinked until `release`.
// Lock nesting: a level's lock is released before the next level is entered; the pool's lock is
// taken under a directory lock, and nothing under it.
class shadow_table_t {
public:
    shadow_table_t() noexcept = default;
    ~shadow_table_t() { release(); }
    shadow_table_t(const shadow_table_t&) = delete;
    shadow_table_t& operator=(const shadow_table_t&) = delete;

    // The cell of the granule, its levels created on the way as needed. Raises nothing: on failure
    // the caller reports `error_code` once it holds no lock. Takes no lock when the leaf table exists.
    cell_lookup_t find_or_create(std::uint64_t granule) noexcept;
    // Frees every region, directory and leaf table; the cells' further buckets belong to the arena.
    // Only while no other thread uses the table.
    void release() noexcept;

    struct census_t {
        std::size_t regions;
        std::size_t leaf_tables;
        std::size_t cells;       // holding an entry
        std::size_t heap_bytes;  // regions, directories and leaf tables
    };
    // Walks the whole table; for tests and measurements.
    census_t census() const noexcept;

    // Calls visit(granule, shadow_cell_t&) for every cell holding an entry among the granules from `first`
    // up to, not including, `end`, skipping absent regions and leaf tables whole.
    // Lock-free like a lookup, and creates nothing.
    template <class Visit>
    void for_each_cell(std::uint64_t first, std::uint64_t end, Visit&& visit) noexcept;

    // Region bases in list order.
    template <class Visit>
    void for_each_region(Visit&& visit) const noexcept {
        for (const shadow_region_t* region = next_region(nullptr); region != nullptr; region = next_region(region))
            visit(*region);
    }

    // The leaf table of the granule, or null when it has none; lock-free, creates nothing.
    leaf_table_t* find_leaves(std::uint64_t granule) const noexcept;

private:
    // The region after `region`, or the first one for null.
    const shadow_region_t* next_region(const shadow_region_t* region) const noexcept;
    shadow_region_t* find_or_create_region(std::uint64_t base, shadow_region_t* passed, std::int32_t& error_code) noexcept;

    // A leaf table from the pool, or null when it has none to give.
    leaf_table_t* take_pooled_leaves() noexcept;

    shadow_region_t* regions_ = nullptr;
    std::uint8_t region_lock_ = 0;
    std::uint8_t directory_locks_[shadow_fanout] = {};
    // Leaf tables for spans the program streams through, carved in turn from areas of huge pages:
    // such a table is about to be written through, and a fault per huge page costs far less than
    // one per small page. Carving in turn leaves at most one huge page in part unused. Each area
    // starts with the address of the one before. Under the pool lock, the innermost.
    std::byte* pool_next_ = nullptr;
    std::byte* pool_end_ = nullptr;
    std::byte* pool_areas_ = nullptr;
    std::uint8_t pool_lock_ = 0;
    bool pool_refused_ = false;
};

template <class Visit>
void shadow_table_t::for_each_cell(std::uint64_t first, std::uint64_t end, Visit&& visit) noexcept {
    constexpr std::uint64_t region_size = std::uint64_t{1} << region_shift;
    constexpr std::uint64_t leaf_span = std::uint64_t{1} << directory_shift;
    for (const shadow_region_t* region = next_region(nullptr); region != nullptr && region->base < end;
         region = next_region(region)) {
        if (region->base + region_size <= first) continue;
        const std::uint64_t from = first > region->base ? first : region->base;
        const std::uint64_t to = end - region->base < region_size ? end : region->base + region_size;
        for (std::uint64_t span = from & ~(leaf_span - 1); span < to; span += leaf_span) {
            leaf_table_t* const& leaf_entry = region->directory->leaves[(span >> directory_shift) & (shadow_fanout - 1)];
            leaf_table_t* leaves = std::atomic_ref<leaf_table_t*>(const_cast<leaf_table_t*&>(leaf_entry)).load(std::memory_order_acquire);
            if (leaves == nullptr) continue;
            const std::uint64_t low = from > span ? from : span;
            const std::uint64_t high = to - span < leaf_span ? to : span + leaf_span;
            for (std::uint64_t granule = low & ~std::uint64_t{7}; granule < high; granule += 8) {
                shadow_cell_t& cell = leaves->cell_of(granule);
                if (cell.entry_count() != 0) visit(granule, cell);
            }
        }
    }
}

// The slot of `handle` in the cell, or null when it has none. Only the task that owns the handle
// asks: it alone claims, changes and erases that slot, so no pin is needed; and a bucket it claimed
// in is one it saw linked. Inline, as the one-granule entry's quick part makes no call.
inline shadow_slot_t* own_slot(shadow_cell_t& cell, std::uint16_t handle) noexcept {
    shadow_slot_t* found = nullptr;
    cell.each_slot([&](shadow_slot_t& slot) {
        if ((std::atomic_ref<std::uint32_t>(slot.tag).load(std::memory_order_relaxed) & slot_key_bits) != handle) return false;
        found = &slot;
        return true;
    });
    return found;
}
// Its value, or 0.
inline std::uint64_t own_entry(shadow_cell_t& cell, std::uint16_t handle) noexcept {
    shadow_slot_t* slot = own_slot(cell, handle);
    return slot != nullptr ? std::atomic_ref<std::uint64_t>(slot->value).load(std::memory_order_relaxed) : 0;
}

}  // namespace tavo
