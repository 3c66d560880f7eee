#include "tsm/tsm.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"
#include "runtime/spin_lock.h"
#include "task/task_context.h"
#include "task/task_table.h"
#include "tsm/access_record.h"
#include "tsm/touched_cells.h"

namespace tavo {

tsm_t::~tsm_t() {
    close();
    table.release();
}

void tsm_t::close() noexcept { gate_.state.store(table_state::closed); }

void tsm_t::reset() noexcept {
    gate_.state.store(table_state::resetting);
    if (gate_.asymmetric) platform::heavy_fence();
    else std::atomic_thread_fence(std::memory_order_seq_cst);
    // A task that is not in the table has no busy section to come: entries are made only by the
    // current task of a thread, which is registered first, and removed before it is unregistered.
    task_table.for_each_live([](pinned_slot_t& entry) {
        task_context_t* task = task_of(entry);
        if (task->shadow != nullptr) touched_list_t(*task->shadow).empty_once_idle();
    });
    spin_until([&] { return forgetters_.load() == 0; });
    table.release();
    cell_arena.rewind();
    gate_.state.store(table_state::open, std::memory_order_release);
}

namespace {

// visit(cell) for each cell of a granule in the busy task's touched list.
template <class Visit>
void for_each_touched_cell(busy_section_t& busy, const shadow_table_t& table, Visit&& visit) noexcept {
    std::uint64_t span = no_granule;
    leaf_table_t* leaves = nullptr;
    busy.list().for_each_granule([&](std::uint64_t granule) {
        if ((granule & ~leaf_span_mask) != span) {
            span = granule & ~leaf_span_mask;
            leaves = table.find_leaves(granule);
        }
        if (leaves != nullptr) visit(leaves->cell_of(granule));
    });
}

}  // namespace

namespace {

// Whether every record of the entry was forgotten: a scan finds nothing in it.
bool all_forgotten(std::uint64_t entry) noexcept {
    if (is_inline(entry)) return inline_time(entry) == forgotten_time;
    if (all_forgotten_blocks(entry)) return true;
    bool forgotten = true;
    each_record(entry, [&](access_record_t& record) {
        forgotten &= std::atomic_ref<std::uint64_t>(record.time).load(std::memory_order_relaxed) == forgotten_time;
    });
    return forgotten;
}

// The blocks of an erased entry, which no reader can reach any more, become spares.
void keep_blocks(task_shadow_t& shadow, std::uint64_t entry) noexcept {
    if (is_inline(entry)) return;
    for (record_block_t* block = block_of(entry); block != nullptr;) {
        record_block_t* older = block->older;
        shadow.keep_block(block);
        block = older;
    }
}

}  // namespace

void tsm_t::sweep_forgotten(touched_list_t& list, task_context_t& task) noexcept {
    task_shadow_t& shadow = list.shadow();
    std::uint64_t span = no_granule;
    leaf_table_t* leaves = nullptr;
    std::size_t kept = 0;
    bool noted = true;
    for (touched_chunk_t* chunk = list.take_out(); chunk != nullptr;) {
        for (unsigned index = 0; noted && index < chunk->used; ++index) {
            for (std::uint64_t granule = chunk->ranges[index].first; noted; granule += 8) {
                if ((granule & ~leaf_span_mask) != span) {
                    span = granule & ~leaf_span_mask;
                    leaves = table.find_leaves(granule);
                }
                shadow_cell_t* cell = leaves != nullptr ? &leaves->cell_of(granule) : nullptr;
                shadow_slot_t* own = cell != nullptr ? own_slot(*cell, task.handle) : nullptr;
                if (own != nullptr) {
                    const std::uint64_t entry = std::atomic_ref<std::uint64_t>(own->value).load(std::memory_order_relaxed);
                    if (all_forgotten(entry)) {
                        cell->erase(*own);
                        keep_blocks(shadow, entry);
                    } else if (std::int32_t ignored = 0; (noted = list.note(granule, task.arena, ignored))) {
                        ++kept;
                    }
                }
                if (granule == chunk->ranges[index].last) break;
            }
        }
        touched_chunk_t* older = chunk->next;
        if (!noted) {
            // Out of memory: the granules not noted again stay listed with this chunk, some of them
            // twice, which costs a lookup at the task's end.
            list.put_back(chunk);
            break;
        }
        list.spare(chunk);
        chunk = older;
    }
    shadow.forget_cached();
    // The next sweep walks about as many granules as this one kept: the growth before it pays for that
    // walk, and keeps the records of blocks freed meanwhile to an eighth of those held live.
    shadow.sweep_at = shadow.arena_bytes + std::max({sweep_floor, shadow.live_bytes / 8, kept * sweep_bytes_per_granule});
}

void tsm_t::forget_task(task_context_t& task) noexcept {
    if (task.shadow == nullptr || touched_list_t(*task.shadow).newest() == nullptr) return;
    busy_section_t busy{touched_list_t(*task.shadow), gate_};
    if (!busy) return;
    for_each_touched_cell(busy, table, [&](shadow_cell_t& cell) {
        if (shadow_slot_t* own = own_slot(cell, task.handle)) cell.erase(*own);
    });
    busy.list().empty_while_busy();
}

namespace {

// The time of the entry's newest record; 0 when all were forgotten.
std::uint64_t newest_record(std::uint64_t entry) noexcept {
    if (is_inline(entry)) return inline_time(entry);
    if (all_forgotten_blocks(entry)) return 0;
    // A release may be forgetting records meanwhile.
    std::uint64_t newest = 0;
    each_record(entry, [&](access_record_t& record) {
        newest = std::max(newest, std::atomic_ref<std::uint64_t>(record.time).load());
    });
    return newest;
}

}  // namespace

std::uint64_t tsm_t::last_record_time(task_context_t& task) noexcept {
    if (task.shadow == nullptr || touched_list_t(*task.shadow).newest() == nullptr) return 0;
    busy_section_t busy{touched_list_t(*task.shadow), gate_};
    if (!busy) return 0;
    // The granules the task recorded in last are in its cache; a record there made at its last
    // recording time is the newest, unless a release forgot it.
    const task_shadow_t& shadow = busy.list().shadow();
    for (const cached_granule_t& cached : shadow.cache) {
        if (cached.granule != no_granule &&
            newest_record(std::atomic_ref<std::uint64_t>(cached.slot->value).load()) == shadow.newest_time)
            return shadow.newest_time;
    }
    std::uint64_t newest = 0;
    for_each_touched_cell(busy, table, [&](shadow_cell_t& cell) {
        if (const std::uint64_t entry = own_entry(cell, task.handle)) newest = std::max(newest, newest_record(entry));
    });
    return newest;
}

}  // namespace tavo
