#include "tsm/shadow_table.h"

#include <atomic>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "runtime/errors.h"
#include "runtime/memory.h"
#include "runtime/spin_lock.h"
#include "tsm/arena.h"

namespace tavo {

namespace {

template <class T>
T* load_acquire(T* const& pointer) noexcept {
    return std::atomic_ref<T*>(const_cast<T*&>(pointer)).load(std::memory_order_acquire);
}
template <class T>
void store_release(T*& pointer, T* value) noexcept {
    std::atomic_ref<T*>(pointer).store(value, std::memory_order_release);
}

template <class T>
T* zeroed_from_heap() noexcept {
    void* memory = heap_allocate(sizeof(T));
    if (memory == nullptr) return nullptr;
    std::memset(memory, 0, sizeof(T));
    return static_cast<T*>(memory);
}

// Whether the program came to the leaf table's span streaming through memory, from a neighbouring
// span whose cells next to it are in use: then it is likely to fill this table's pages too.
bool streamed_into(const directory_t& directory, unsigned slot) noexcept {
    const leaf_table_t* below = slot > 0 ? load_acquire(directory.leaves[slot - 1]) : nullptr;
    const leaf_table_t* above = slot + 1 < shadow_fanout ? load_acquire(directory.leaves[slot + 1]) : nullptr;
    return (below != nullptr && !below->cells[shadow_fanout - 1].untouched()) ||
           (above != nullptr && !above->cells[0].untouched());
}

constexpr std::uint64_t region_base(std::uint64_t granule) { return granule & ~((std::uint64_t{1} << region_shift) - 1); }
constexpr unsigned directory_index(std::uint64_t granule) { return (granule >> directory_shift) & (shadow_fanout - 1); }

}  // namespace

cell_lookup_t shadow_table_t::find_or_create(std::uint64_t granule) noexcept {
    const std::uint64_t base = region_base(granule);
    shadow_region_t* passed = nullptr;
    shadow_region_t* region = load_acquire(regions_);
    while (region != nullptr && region->base < base) {
        passed = region;
        region = load_acquire(region->next);
    }
    if (region == nullptr || region->base != base) {
        std::int32_t error_code = 0;
        region = find_or_create_region(base, passed, error_code);
        if (region == nullptr) return {nullptr, nullptr, error_code};
    }

    const unsigned directory_slot = directory_index(granule);
    leaf_table_t*& leaf_entry = region->directory->leaves[directory_slot];
    leaf_table_t* leaves = load_acquire(leaf_entry);
    if (leaves == nullptr) {
        bool streamed = false;
        {
            spin_guard_t guard(directory_locks_[directory_slot]);
            leaves = load_acquire(leaf_entry);
            if (leaves == nullptr) {
                streamed = streamed_into(*region->directory, directory_slot);
                if (streamed) leaves = take_pooled_leaves();
                if (leaves == nullptr) leaves = static_cast<leaf_table_t*>(platform::map_memory(sizeof(leaf_table_t)));
                if (leaves == nullptr) return {nullptr, nullptr, error::out_of_memory};
                store_release(leaf_entry, leaves);
            }
        }
        // Unlocked, so that no other task that needs the table waits for it.
        if (streamed) platform::populate_memory(leaves, sizeof(leaf_table_t));
    }
    return {&leaves->cell_of(granule), leaves, 0};
}

leaf_table_t* shadow_table_t::find_leaves(std::uint64_t granule) const noexcept {
    const std::uint64_t base = region_base(granule);
    const shadow_region_t* region = load_acquire(regions_);
    while (region != nullptr && region->base < base) region = load_acquire(region->next);
    if (region == nullptr || region->base != base) return nullptr;
    return load_acquire(region->directory->leaves[directory_index(granule)]);
}

shadow_region_t* shadow_table_t::find_or_create_region(std::uint64_t base, shadow_region_t* passed,
                                                       std::int32_t& error_code) noexcept {
    spin_guard_t guard(region_lock_);
    // Regions are only ever inserted, so the one passed on the way here still lies below the base.
    shadow_region_t* before = passed;
    shadow_region_t* region = load_acquire(passed != nullptr ? passed->next : regions_);
    while (region != nullptr && region->base < base) {
        before = region;
        region = load_acquire(region->next);
    }
    if (region != nullptr && region->base == base) return region;

    auto* created = zeroed_from_heap<shadow_region_t>();
    directory_t* directory = created != nullptr ? zeroed_from_heap<directory_t>() : nullptr;
    if (directory == nullptr) {
        heap_free(created, sizeof(shadow_region_t));
        error_code = error::out_of_memory;
        return nullptr;
    }
    created->next = region;
    created->base = base;
    created->directory = directory;
    store_release(before != nullptr ? before->next : regions_, created);
    return created;
}

const shadow_region_t* shadow_table_t::next_region(const shadow_region_t* region) const noexcept {
    return load_acquire(region != nullptr ? region->next : regions_);
}

namespace {
constexpr std::size_t pool_area_size = 16 * platform::huge_page_size;
// The area's first page holds the link to the one before.
constexpr std::size_t pool_area_header = 4096;
}  // namespace

leaf_table_t* shadow_table_t::take_pooled_leaves() noexcept {
    spin_guard_t guard(pool_lock_);
    if (pool_end_ - pool_next_ < static_cast<std::ptrdiff_t>(sizeof(leaf_table_t))) {
        auto* area = pool_refused_ ? nullptr : static_cast<std::byte*>(platform::map_huge_memory(pool_area_size));
        if (area == nullptr) {
            pool_refused_ = true;  // asking again for every table would cost more than it could save
            return nullptr;
        }
        *reinterpret_cast<std::byte**>(area) = pool_areas_;
        pool_areas_ = area;
        pool_next_ = area + pool_area_header;
        pool_end_ = area + pool_area_size;
    }
    auto* leaves = reinterpret_cast<leaf_table_t*>(pool_next_);
    pool_next_ += sizeof(leaf_table_t);
    return leaves;
}

void shadow_table_t::release() noexcept {
    while (shadow_region_t* region = regions_) {
        regions_ = region->next;
        for (leaf_table_t* leaves : region->directory->leaves)
            if (leaves != nullptr) platform::unmap_memory(leaves, sizeof(leaf_table_t));
        heap_free(region->directory, sizeof(directory_t));
        heap_free(region, sizeof(shadow_region_t));
    }
    // Only systems that unmap part of a mapping give huge pages: the areas go whole once their
    // tables went one by one.
    while (std::byte* area = pool_areas_) {
        pool_areas_ = *reinterpret_cast<std::byte**>(area);
        platform::unmap_memory(area, pool_area_size);
    }
    pool_next_ = pool_end_ = nullptr;
}

shadow_table_t::census_t shadow_table_t::census() const noexcept {
    census_t census{};
    for_each_region([&](const shadow_region_t& region) {
        ++census.regions;
        census.heap_bytes += sizeof(shadow_region_t) + sizeof(directory_t);
        for (leaf_table_t* const& leaf_entry : region.directory->leaves) {
            const leaf_table_t* leaves = load_acquire(leaf_entry);
            if (leaves == nullptr) continue;
            ++census.leaf_tables;
            census.heap_bytes += sizeof(leaf_table_t);
            for (const shadow_cell_t& cell : leaves->cells) census.cells += cell.entry_count() != 0;
        }
    });
    return census;
}

shadow_bucket_t* bucket_chunk_t::take(arena_t& arena, std::int32_t& error_code) noexcept {
    // Some 4 KiB at most, fifteen of which fill a segment, so that a task's end leaves little unused.
    constexpr std::uint32_t most = arena_area_size / sizeof(shadow_bucket_t) / 15;
    static_assert(most * 15 * sizeof(shadow_bucket_t) + sizeof(shadow_bucket_t) > arena_area_size);
    if (next == end) {
        const std::uint32_t count = carved == 0 ? 1 : carved < most ? carved : most;
        void* memory = arena.allocate_unreported(count * sizeof(shadow_bucket_t), error_code);
        if (memory == nullptr) return nullptr;
        auto* chunk = static_cast<shadow_bucket_t*>(memory);
        if ((reinterpret_cast<std::uintptr_t>(chunk + count) & ~shadow_cell_t::bucket_bits) != 0) {
            error_code = error::out_of_memory;  // beyond the 47 bits a link holds; left to the arena
            return nullptr;
        }
        next = chunk;
        end = chunk + count;
        carved += count;
    }
    return next++;
}

shadow_slot_t* shadow_cell_t::claim(std::uint16_t handle, position_t position, std::uint64_t value,
                                    bucket_chunk_t& buckets, arena_t& bucket_arena, std::int32_t& error_code,
                                    std::uint8_t marks) noexcept {
    shadow_bucket_t* filled = nullptr;  // not linked yet
    for (;;) {
        shadow_slot_t* taken = claim_in(slot, handle, position, value, marks) != 0 ? &slot : nullptr;
        shadow_bucket_t* last = nullptr;
        for (shadow_bucket_t* bucket = first_bucket(); taken == nullptr && bucket != nullptr; bucket = next_of(bucket->next)) {
            if (claim_in(bucket->slot, handle, position, value, marks) != 0) taken = &bucket->slot;
            last = bucket;
        }
        if (taken != nullptr) {
            if (filled != nullptr) buckets.give_back(filled);
            return taken;
        }
        if (filled == nullptr) {
            filled = buckets.take(bucket_arena, error_code);
            if (filled == nullptr) return nullptr;
            new (filled) shadow_bucket_t{{handle, position.word(), value}, nullptr};
        }
        if (last != nullptr) {
            shadow_bucket_t* expected = nullptr;
            if (std::atomic_ref<shadow_bucket_t*>(last->next).compare_exchange_strong(expected, filled)) {
                count_in(marks);
                return &filled->slot;
            }
        } else {
            std::uint64_t word = links_word().load();
            while ((word & bucket_bits) == 0) {
                if (links_word().compare_exchange_weak(word, (word + count_unit) | marks | reinterpret_cast<std::uintptr_t>(filled)))
                    return &filled->slot;
            }
        }
    }
}

std::uint64_t shadow_cell_t::claim_in(shadow_slot_t& each, std::uint16_t handle, position_t position,
                                      std::uint64_t value, std::uint8_t marks) noexcept {
    std::atomic_ref<std::uint32_t> tag(each.tag);
    std::uint32_t expected = 0;
    if (tag.load() != 0 || !tag.compare_exchange_strong(expected, handle)) return 0;
    std::atomic_ref<std::uint32_t>(each.position).store(position.word(), std::memory_order_relaxed);
    std::atomic_ref<std::uint64_t>(each.value).store(value, std::memory_order_release);
    return count_in(marks);
}

std::uint64_t shadow_cell_t::count_in(std::uint8_t marks) noexcept {
    std::uint64_t word = links_word().load(std::memory_order_relaxed);
    // Marks are set for good: once seen, adding to the count keeps them without a retry loop.
    if ((word & marks) == marks) return links_word().fetch_add(count_unit) + count_unit;
    while (!links_word().compare_exchange_weak(word, (word + count_unit) | marks)) {}
    return (word + count_unit) | marks;
}

void shadow_cell_t::erase(shadow_slot_t& own) noexcept {
    std::atomic_ref<std::uint32_t> tag(own.tag);
    const std::uint32_t handle = tag.load(std::memory_order_relaxed) & slot_key_bits;
    if (std::uint32_t unpinned = handle; !tag.compare_exchange_strong(unpinned, handle | slot_erasing)) {
        tag.fetch_or(slot_erasing);
        spin_until([&] { return tag.load() == (handle | slot_erasing); });
    }
    std::atomic_ref<std::uint64_t>(own.value).store(0, std::memory_order_release);
    links_word().fetch_sub(count_unit);
    tag.store(0, std::memory_order_release);
}

std::size_t shadow_cell_t::bucket_count() noexcept {
    std::size_t count = 0;
    for (shadow_bucket_t* bucket = first_bucket(); bucket != nullptr; bucket = next_of(bucket->next)) ++count;
    return count;
}

}  // namespace tavo
