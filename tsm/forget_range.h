// Forgetting the records of a range for the tasks that record nothing meanwhile.
#pragma once

#include "task/task_context.h"
#include "tsm/touched_cells.h"
#include "tsm/tsm.h"

namespace tavo {

template <class Idle>
void tsm_t::forget_range(task_context_t& current, std::uint64_t address, std::uint64_t size, Idle&& idle) noexcept {
    if (size == 0 || current.touched_cells == nullptr) return;
    busy_section_t busy{touched_list_t(*current.touched_cells), table_state_};
    if (!busy) return;
    table.for_each_cell(address, size, [&](shadow_cell_t& cell) {
        if (std::atomic_ref<std::uint16_t>(cell.count).load() == 0) return;
        // Erasing waits for pins to leave, so the handles are gathered first.
        std::uint16_t handles[16];
        unsigned found;
        do {
            found = 0;
            cell.for_each_live([&](pinned_slot_t& entry) {
                if (idle(entry.handle())) handles[found++] = entry.handle();
                return found < 16;
            });
            for (unsigned index = 0; index < found; ++index) cell.erase(handles[index]);
        } while (found == 16);
    });
}

}  // namespace tavo
