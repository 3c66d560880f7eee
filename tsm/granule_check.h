// The detector's side of the common access, inline in the entries that make it: a task repeating
// its newest record in a granule it reaches through its cache or its leaf hint changes nothing and
// calls for no scan.
#pragma once

#include <atomic>
#include <cstdint>

#include "task/task_context.h"
#include "tsm/access_record.h"
#include "tsm/touched_cells.h"
#include "tsm/tsm.h"

namespace tavo {

// Whether the task's entry in `slot` of `cell` has, as its newest record of `type`, one of
// position `word` made at `time`, with no conflict pending in the cell. By the busy task.
[[gnu::always_inline]] inline bool holds_newest(shadow_slot_t& slot, shadow_cell_t& cell, std::uint64_t time, std::uint32_t type,
                         std::uint32_t word) noexcept {
    const std::uint64_t value = std::atomic_ref<std::uint64_t>(slot.value).load(std::memory_order_relaxed);
    if (is_inline(value)) {
        if (inline_time(value) != time || inline_type(value) != type || slot.position != word) return false;
    } else {
        const access_record_t* head = entry_head(value, type, std::memory_order_relaxed);
        if (head == nullptr || head->position.word() != word ||
            std::atomic_ref<const std::uint64_t>(head->time).load(std::memory_order_relaxed) != time)
            return false;
    }
    return (cell.flags() & cell_conflict_seen) == 0;
}

[[gnu::always_inline]] inline void tsm_t::check_granule(task_context_t& task, std::uint64_t address, std::uint32_t size, std::uint32_t type,
                                 std::uint64_t site) noexcept {
    task_shadow_t* shadow = task.shadow;
    if (task.exempt() || shadow == nullptr || filter.load(std::memory_order_acquire) != nullptr) [[unlikely]]
        return check_access(task, address, size, type, site);
    touched_list_t list(*shadow);
    if (!list.try_enter_busy(gate_)) [[unlikely]] {
        list.leave_busy();
        return check_access(task, address, size, type, site);
    }
    const std::uint64_t offset = address & 7;
    const std::uint64_t granule = address - offset;
    const std::uint32_t word = position_t::single_granule_word(static_cast<std::uint32_t>(offset), size);
    const cached_granule_t& cached = shadow->slot_of(granule);
    if (cached.granule == granule) {
        if (holds_newest(*cached.slot, *cached.cell, task.time, type, word)) [[likely]] return list.leave_busy();
    } else if ((granule & ~leaf_span_mask) == shadow->hinted_span) {
        shadow_cell_t& cell = shadow->hinted_leaves->cell_of(granule);
        if (shadow_slot_t* slot = own_slot(cell, task.handle); slot != nullptr && holds_newest(*slot, cell, task.time, type, word))
            return list.leave_busy();
    }
    record_busy(list, task, address, size, type, site);
}

}  // namespace tavo
