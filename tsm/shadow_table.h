// Shadow memory: for every 8-byte granule that an instrumented access touched, a shadow cell that
// names the tasks which accessed it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "sync/handle_map.h"

namespace tavo {

class arena_t;

// A handle map from task handle to the address of that task's access lists for the granule, with
// the first two tasks' entries in the cell itself. Its flags word holds the conflict-seen bit.
// Cells lie in their leaf table; their further buckets come from the detector's cell arena and
// live until the table is released.
using shadow_cell_t = basic_handle_map_t<2>;
static_assert(sizeof(shadow_cell_t) == 40);
constexpr std::uint32_t cell_conflict_seen = 0x1;

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
// zero-filled, leaf tables from the system.
//
// Protocol. Readers descend without a lock. Every level grows by one pointer store (release) of a
// fully initialised object, made under the lock of that level after the entry was read again
// (region list lock; the directory lock of the index, shared by all regions), so
// two threads that miss the same entry create it once. Nothing is unlinked until `release`.
// Lock nesting: a level's lock is released before the next level is entered.
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

    shadow_region_t* regions_ = nullptr;
    std::uint8_t region_lock_ = 0;
    std::uint8_t directory_locks_[shadow_fanout] = {};
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

// The value word of the entry of `handle` in the cell, or null when it has none. Only the task that
// owns the handle asks: it alone inserts, changes and removes that entry, so no pin is needed.
std::uint64_t* own_entry_word(shadow_cell_t& cell, std::uint16_t handle) noexcept;
// Its value, or 0.
inline std::uint64_t own_entry(shadow_cell_t& cell, std::uint16_t handle) noexcept {
    std::uint64_t* word = own_entry_word(cell, handle);
    return word != nullptr ? std::atomic_ref<std::uint64_t>(*word).load(std::memory_order_relaxed) : 0;
}

}  // namespace tavo
