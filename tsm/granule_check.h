// The detector's side of the common access, inline in the entries that make it: a task repeating
// a record of its current time in a granule it reaches through its cache or its leaf hint changes
// nothing and calls for no scan.
#pragma once

#include <atomic>
#include <cstdint>

#include "task/task_context.h"
#include "tsm/access_record.h"
#include "tsm/touched_cells.h"
#include "tsm/tsm.h"

namespace tavo {

// The record of `match` (record_match) in the entry's newest block, looked for first at the
// cached hint; null when there is none. By the owner.
[[gnu::always_inline]] inline access_record_t* find_in_block(record_block_t& block, std::uint64_t match, std::uint32_t hint) noexcept {
    access_record_t* records = block.records();
    const std::uint32_t count = std::atomic_ref<std::uint32_t>(block.count).load(std::memory_order_relaxed);
    const auto matches = [&](std::uint32_t index) {
        return (std::atomic_ref<std::uint64_t>(records[index].key).load(std::memory_order_relaxed) & key_match_bits) == match;
    };
    if (hint < count && matches(hint)) return records + hint;
    for (std::uint32_t index = 0; index < count; ++index)
        if (matches(index)) return records + index;
    return nullptr;
}

// Whether the task's entry in `slot` of `cell` has a record of `type` and position `word` made at
// `time`, with no conflict pending in the cell: recording would change nothing. Only the newest
// block is searched: a record in an older one is left to the recording. By the busy task.
[[gnu::always_inline]] inline bool holds_newest(shadow_slot_t& slot, shadow_cell_t& cell, std::uint64_t time, std::uint32_t type,
                                                std::uint32_t word) noexcept {
    const std::uint64_t value = std::atomic_ref<std::uint64_t>(slot.value).load(std::memory_order_relaxed);
    // The low four bits: the inline mark and the type, below the site.
    if ((value & 0xF) == inline_record(0, type, 0)) {
        if (inline_time(value) != time || slot.position != word) return false;
    } else if ((value & 3) != 0) {  // an inline record of another type, or blocks all forgotten
        return false;
    } else {
        // Without the cache's hint, which would cost the quick path a register and so a stack frame.
        access_record_t* record = find_in_block(*block_of(value), record_match(type, word), ~0u);
        if (record == nullptr || std::atomic_ref<std::uint64_t>(record->time).load(std::memory_order_relaxed) != time)
            return false;
    }
    return (cell.flags() & cell_conflict_seen) == 0;
}

// The task's own slot for the granule and its cell, through its cache or else its leaf hint; a null
// slot where neither leads to one. A slot found through the hint fills the cache when `fill` says
// so: the quick path does not, as the store would cost it a stack frame. By the busy task, whose
// shadow `shadow` is.
struct own_slot_t {
    shadow_cell_t* cell;
    shadow_slot_t* slot;
};
template <bool fill>
[[gnu::always_inline]] inline own_slot_t cached_own_slot(task_context_t& task, task_shadow_t& shadow, std::uint64_t granule) noexcept {
    cached_granule_t& cached = shadow.slot_of(granule);
    if (cached.granule == granule) [[likely]] {
        if (cached.slot == nullptr) __builtin_unreachable();  // the cache holds found slots only
        return {cached.cell, cached.slot};
    }
    if ((granule & ~leaf_span_mask) != shadow.hinted_span) return {nullptr, nullptr};
    shadow_cell_t* cell = &shadow.hinted_leaves->cell_of(granule);
    shadow_slot_t* slot = own_slot(*cell, task.handle);
    if (fill && slot != nullptr) cached = {granule, cell, slot};
    return {cell, slot};
}

// No call on the way, so that an entry which inlines it and finds the repeat needs no frame. The
// caller has found no filter (quick_off::tsm_filter).
[[gnu::always_inline]] inline granule_rest_t tsm_t::quick_granule(task_context_t& task, std::uint64_t address, std::uint32_t size,
                                                                  std::uint32_t type, bool asymmetric) noexcept {
    task_shadow_t* shadow = task.shadow;
    if (shadow == nullptr) [[unlikely]] return granule_rest_t::check;
    touched_list_t list(*shadow);
    if (!list.try_enter_busy(gate_, asymmetric)) [[unlikely]] {
        list.leave_busy();
        return granule_rest_t::check;
    }
    const std::uint64_t offset = address & 7;
    const std::uint64_t granule = address - offset;
    const std::uint32_t word = position_t::single_granule_word(static_cast<std::uint32_t>(offset), size);
    const auto [cell, slot] = cached_own_slot<false>(task, *shadow, granule);
    // An exempt task records nothing, so a repeat of its own, if it has one, changes nothing either.
    if (slot != nullptr && holds_newest(*slot, *cell, task.time, type, word)) [[likely]] {
        list.leave_busy();
        return granule_rest_t::done;
    }
    if (!task.exempt()) [[likely]] return granule_rest_t::record;
    list.leave_busy();
    return granule_rest_t::check;
}

inline void tsm_t::finish_granule(granule_rest_t rest, task_context_t& task, std::uint64_t address, std::uint32_t size,
                                  std::uint32_t type, std::uint64_t site) noexcept {
    if (rest == granule_rest_t::record) record_access(task, address, size, type, site);
    else if (rest == granule_rest_t::check) check_access(task, address, size, type, site);
}

[[gnu::always_inline]] inline void tsm_t::check_granule(task_context_t& task, std::uint64_t address, std::uint32_t size,
                                                        std::uint32_t type, std::uint64_t site) noexcept {
    if (filter.load(std::memory_order_acquire) != nullptr) [[unlikely]] return check_access(task, address, size, type, site);
    finish_granule(quick_granule(task, address, size, type, gate_.asymmetric), task, address, size, type, site);
}

}  // namespace tavo
