// The access check: record an access in every granule it covers, compare it with the other tasks'
// records there, and report the unordered conflicts.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "filter/filter_object.h"
#include "platform/platform.h"
#include "runtime/errors.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "task/task_context.h"
#include "task/task_table.h"
#include "tsm/access_record.h"
#include "tsm/granule_check.h"
#include "tsm/history.h"
#include "tsm/site_table.h"
#include "tsm/touched_cells.h"
#include "tsm/tsm.h"

namespace tavo {

namespace {

constexpr std::uint32_t largest_access = 255;
constexpr std::size_t granule_size = 8;

template <class T>
std::atomic_ref<T> atomic(T& object) noexcept {
    return std::atomic_ref<T>(object);
}

struct access_t {
    task_context_t& task;
    std::uint32_t type;
    std::uint64_t site;
    std::uint64_t time;
};

// Where the walk over the granules of an access stands; `cell` and `changed` describe the current
// granule once it has been recorded.
struct granule_walk_t {
    std::uint64_t granule;
    position_t position;
    std::uint32_t remaining;
    shadow_cell_t* cell = nullptr;
    bool changed = false;  // the record is new or was refreshed

    granule_walk_t(std::uint64_t address, std::uint32_t size) noexcept
        : granule(address & ~std::uint64_t{granule_size - 1}), remaining(size) {
        const auto offset = static_cast<std::uint8_t>(address - granule);
        position = {offset, static_cast<std::uint8_t>(std::min<std::uint32_t>(granule_size - offset, size)),
                    static_cast<std::uint8_t>(0u - offset), static_cast<std::uint8_t>(size)};
    }

    bool advance() noexcept {
        remaining -= position.length;
        if (remaining == 0) return false;
        granule += granule_size;
        position.back_distance = static_cast<std::uint8_t>(position.back_distance + granule_size);
        position.offset = 0;
        position.length = static_cast<std::uint8_t>(std::min<std::uint32_t>(remaining, granule_size));
        return true;
    }
};

// Descriptors in a scratch arena, each kept once.
class conflict_list_t {
public:
    explicit conflict_list_t(scratch_arena_t& scratch) noexcept : scratch_(scratch) {}

    bool empty() const noexcept { return head_ == nullptr; }
    // Set when a descriptor could not be kept; reported once the check is no longer busy.
    std::int32_t failure() const noexcept { return failure_; }

    bool contains(const tavo_access_t& access) const noexcept {
        for (const node_t* node = head_; node != nullptr; node = node->next)
            if (std::memcmp(&node->access, &access, sizeof access) == 0) return true;
        return false;
    }
    // Kept ahead of those added before the last begin_run, and among those added since in the
    // order their records took their times (access_record.h: took_before).
    void add(const tavo_access_t& access, std::uint32_t history, std::uint64_t time, std::uint32_t turn) noexcept {
        if (failure_ != 0 || contains(access)) return;
        void* memory = scratch_.allocate_unreported(sizeof(node_t), failure_);
        if (memory == nullptr) return;
        node_t** link = &head_;
        for (node_t* node = run_end_ != nullptr ? head_ : nullptr; node != nullptr; node = node->next) {
            if (took_before(time, turn, node->time, node->turn)) break;
            link = &node->next;
            if (node == run_end_) break;
        }
        node_t* node = new (memory) node_t{access, *link, history, turn, time};
        if (run_end_ == nullptr || link == &run_end_->next) run_end_ = node;
        *link = node;
    }
    void begin_run() noexcept { run_end_ = nullptr; }

    // visit(access, history)
    template <class Visit>
    void for_each(Visit&& visit) const noexcept {
        for (const node_t* node = head_; node != nullptr; node = node->next) visit(node->access, node->history);
    }

private:
    struct node_t {
        tavo_access_t access;
        node_t* next;
        std::uint32_t history;
        std::uint32_t turn;
        std::uint64_t time;
    };

    scratch_arena_t& scratch_;
    node_t* head_ = nullptr;
    node_t* run_end_ = nullptr;
    std::int32_t failure_ = 0;
};

tavo_access_t descriptor(std::uint32_t type, const position_t& position, std::uint64_t granule, std::int32_t task_type,
                         std::uint64_t task_id, std::uint64_t site) noexcept {
    return {type, position.total_size, position.start_address(granule), static_cast<std::uint32_t>(task_type), 0,
            task_id, site};
}

// Type and id of another task, looked up once per scan of its slot.
struct other_task_t {
    std::uint16_t handle;
    bool looked_up = false;
    bool live = false;
    std::int32_t type = 0;
    std::uint64_t id = 0;

    bool identify() noexcept {
        if (!looked_up) {
            looked_up = true;
            if (const pinned_slot_t entry = task_table.find(handle)) {
                const task_context_t* task = task_of(entry);
                live = true;
                type = task->type;
                id = task->id;
            }
        }
        return live;
    }
};

// Whether the inline record `value` of the task `handle` may conflict with an access of `type` by
// the holder of `clock`: it is of a conflicting type, not forgotten, and not ordered before it.
bool inline_may_conflict(std::uint64_t value, std::uint16_t handle, std::uint32_t type, sync_clock_t& clock) noexcept {
    const std::uint64_t time = inline_time(value);
    return access_types_conflict(type, inline_type(value)) && time != forgotten_time && time >= clock.own_time_of(handle);
}

// Adds to `conflicts` every record of another task's entry, pinned in `slot`, that `clock` leaves
// unordered, has a type that conflicts with `type` and shares a byte with `position` in `granule`.
// True when there was one. The clock, the calling task's own, is read only for an entry that holds
// a conflicting type.
bool collect_unordered(pinned_cell_slot_t& slot, sync_clock_t& clock, std::uint32_t type, const position_t& position,
                       std::uint64_t granule, const site_table_t& sites, conflict_list_t& conflicts) noexcept {
    const std::uint64_t entry = slot.value();
    if (all_forgotten_blocks(entry)) return false;
    other_task_t owner{slot.handle()};
    conflicts.begin_run();
    if (is_inline(entry)) {
        const std::uint64_t time = inline_time(entry);
        const std::uint32_t earlier = inline_type(entry);
        const position_t recorded = slot_position(slot.slot());
        if (!inline_may_conflict(entry, owner.handle, type, clock) || !recorded.shares_byte_with(position) || !owner.identify())
            return false;
        const interned_site_t& site = sites.at(inline_site(entry));
        conflicts.add(descriptor(earlier, recorded, granule, owner.type, owner.id, site.site), site.history, time, 0);
        return true;
    }
    bool found = false;
    std::uint64_t known = 0;
    bool looked_up = false;
    // A run per type, as the types' records are reported apart.
    for (std::uint32_t earlier = 0; earlier < access_type::count; ++earlier) {
        if (!access_types_conflict(type, earlier)) continue;
        conflicts.begin_run();
        each_record(entry, [&](access_record_t& record) {
            const std::uint64_t time = atomic(record.time).load();
            if (time == forgotten_time) return;
            const std::uint64_t key = atomic(record.key).load(std::memory_order_relaxed);
            if (key_type(key) != earlier) return;
            if (!looked_up) {
                known = clock.own_time_of(owner.handle);
                looked_up = true;
            }
            const position_t recorded = key_position(key);
            // Ordered before us, or not at our bytes.
            if (time < known || !recorded.shares_byte_with(position) || !owner.identify()) return;
            found = true;
            const interned_site_t& site = sites.at(key_site(key));
            conflicts.add(descriptor(earlier, recorded, granule, owner.type, owner.id, site.site), site.history, time,
                          key_turn(key));
        });
    }
    return found;
}

std::uint32_t current_history() noexcept { return access_history != nullptr ? access_history() : 0; }

// The common first touch of memory: the task's first access to a granule, within it, in the leaf
// table it last descended to, where no task has been, its time fitting inline and its site
// cached. Enters the cell's own slot and returns the cell, with the links word as the entry left
// it; null, with nothing changed but perhaps the granule noted, where the general path must run.
// By the busy task.
shadow_cell_t* enter_untouched(touched_list_t& list, task_context_t& task, const granule_walk_t& walk,
                               std::uint32_t type, std::uint64_t site, std::uint64_t& links) noexcept {
    task_shadow_t& shadow = list.shadow();
    if (walk.position.length != walk.remaining || (walk.granule & ~leaf_span_mask) != shadow.hinted_span ||
        !fits_inline(task.time))
        return nullptr;
    shadow_cell_t& cell = shadow.hinted_leaves->cell_of(walk.granule);
    if (!cell.untouched()) return nullptr;
    const std::uint32_t index = shadow.cached_site(site, current_history());
    std::int32_t ignored = 0;
    if (index == no_site_index || !list.note(walk.granule, task.arena, ignored)) return nullptr;
    // Another task may have come in meanwhile: the general path then takes a further slot, and
    // the granule stays noted twice, which costs a lookup at the task's end.
    links = cell.claim_in(cell.slot, task.handle, walk.position, inline_record(task.time, type, index),
                          cell_marks(type));
    if (links == 0) return nullptr;
    shadow.slot_of(walk.granule) = {walk.granule, &cell, &cell.slot};
    return &cell;
}

// Raises with the busy section left, since a raiser reports under the runtime lock.
void raise_idle(busy_section_t& busy, std::int32_t code, std::uint64_t site) noexcept {
    busy.leave();
    raise_system_error(code, site);
}

class access_check_t {
public:
    access_check_t(const access_t& access, tsm_t& detector, busy_section_t& busy) noexcept
        : access_(access), table_(detector.table), cell_arena_(detector.cell_arena), sites_(detector.sites), busy_(busy) {}

    // Records the walk's current granule. False once the access is given up, the errors raised and
    // the busy section left.
    bool record(granule_walk_t& walk) noexcept {
        cached_granule_t& cached = busy_.list().shadow().slot_of(walk.granule);
        if (cached.granule == walk.granule) [[likely]] {
            walk.cell = cached.cell;
            return record_in(cached, walk);
        }
        walk.cell = find_cell(walk.granule);
        if (walk.cell == nullptr) return false;
        if (shadow_slot_t* slot = own_slot(*walk.cell, access_.task.handle)) {
            cached = {walk.granule, walk.cell, slot};
            return record_in(cached, walk);
        }
        shadow_slot_t* slot = enter_cell(*walk.cell, walk);
        if (slot == nullptr) return false;
        cached = {walk.granule, walk.cell, slot};
        return true;
    }

    // Whether the current granule must be compared with the other tasks' records; settles a
    // conflict-seen flag that no longer has two tasks to speak of. A record marks the cell with
    // what it is, plain and modifying, once it is stored and before the flags are read, all
    // sequentially consistent (a claim marks as it counts: shadow_cell_t). An atomic access
    // conflicts with plain records only, and a read with modifying ones only: in a cell without
    // that mark it has nothing to compare with. Of two records arriving together, the later mark
    // finds the earlier one, whose record its scan then finds; an access that skips its scan is
    // found by the other side's.
    bool scan_due(const granule_walk_t& walk) const noexcept {
        shadow_cell_t& cell = *walk.cell;
        std::uint8_t flags = cell.flags();
        if (const std::uint8_t marks = cell_marks(access_.type); walk.changed && (flags & marks) != marks)
            flags |= cell.set_flags(marks);
        if (access_.type >= access_type::atomic) {
            if ((flags & cell_plain_seen) == 0) return false;
        } else if (access_.type == access_type::read && (flags & cell_modified_seen) == 0) {
            return false;
        }
        const bool seen = (flags & cell_conflict_seen) != 0;
        if (!walk.changed && !seen) return false;
        if (cell.entry_count() >= 2) return true;
        if (seen) {
            // A second task may have come in between and found the flag set: it keeps it set.
            cell.clear_flags(cell_conflict_seen);
            if (cell.entry_count() > 1) cell.set_flags(cell_conflict_seen);
        }
        return false;
    }

    // Compares the current granule's record with every other task's conflicting records that the
    // task's clock does not order before it. True when there was a conflict.
    bool scan(const granule_walk_t& walk, conflict_list_t& conflicts) noexcept {
        bool found = false;
        walk.cell->for_each_live(
            [&](pinned_cell_slot_t& slot) {
                const std::uint16_t other = slot.handle();
                if (other == access_.task.handle) return;
                found |= collect_unordered(slot, access_.task.clock, access_.type, walk.position, walk.granule, sites_,
                                           conflicts);
            },
            // The own slot, blocks all forgotten, and a single record of a type that tolerates ours
            // or ordered before us (forgotten ones included) need no pin. Read unpinned, the key may
            // be stale: the value may then be another task's, come in after our record, whose own
            // scan finds ours.
            [&](std::uint16_t key, std::uint64_t value) {
                if (key == access_.task.handle || all_forgotten_blocks(value)) return true;
                return is_inline(value) && !inline_may_conflict(value, key, access_.type, access_.task.clock);
            });
        return found;
    }

private:
    // Through the leaf table the task last descended to, when the granule lies in it.
    shadow_cell_t* find_cell(std::uint64_t granule) noexcept {
        task_shadow_t& shadow = busy_.list().shadow();
        if ((granule & ~leaf_span_mask) == shadow.hinted_span) return &shadow.hinted_leaves->cell_of(granule);
        const cell_lookup_t found = table_.find_or_create(granule);
        if (found.cell == nullptr) {
            raise_idle(busy_, found.error_code, access_.site);
            return nullptr;
        }
        shadow.hinted_span = granule & ~leaf_span_mask;
        shadow.hinted_leaves = found.leaves;
        return found.cell;
    }

    // The task's first access to the cell: its record enters the cell inline, or in a block when its
    // time does not fit. The granule is noted in the touched list first, so that no entry can miss
    // its removal at task end. The task's slot, or null.
    shadow_slot_t* enter_cell(shadow_cell_t& cell, granule_walk_t& walk) noexcept {
        std::int32_t error_code = 0;
        std::uint32_t site = 0;
        shadow_slot_t* slot = nullptr;
        if (busy_.list().note(walk.granule, access_.task.arena, error_code) && site_index(site, error_code)) {
            std::uint64_t value = inline_record(access_.time, access_.type, site);
            if (!fits_inline(access_.time)) {
                record_block_t* block = make_block(walk.position, access_.time, value);
                if (block == nullptr) return nullptr;
                value = reinterpret_cast<std::uintptr_t>(block);
            }
            slot = cell.claim(access_.task.handle, walk.position, value, busy_.list().shadow().buckets, cell_arena_,
                              error_code, cell_marks(access_.type));
        }
        if (slot == nullptr) {
            raise_idle(busy_, error_code, access_.site);
            return nullptr;
        }
        walk.changed = true;
        return slot;
    }

    // The interned call site and history of a new record, through the task's cache.
    bool site_index(std::uint32_t& index, std::int32_t& error_code) noexcept {
        const std::uint32_t history = current_history();
        task_shadow_t& shadow = busy_.list().shadow();
        index = shadow.cached_site(access_.site, history);
        if (index != no_site_index) return true;
        if (!sites_.intern(access_.site, history, index, error_code)) return false;
        shadow.site_of(access_.site, history) = {access_.site, history, index};
        return true;
    }

    // site_index, raising its failure.
    bool fresh_site(std::uint32_t& index) noexcept {
        std::int32_t error_code = 0;
        if (site_index(index, error_code)) return true;
        raise_idle(busy_, error_code, access_.site);
        return false;
    }

    // A block of `size_class`, from the task's spares or else its arena, its count and turns to be
    // set; null after raising.
    record_block_t* take_block(unsigned size_class) noexcept {
        task_shadow_t& shadow = busy_.list().shadow();
        spare_t*& spares = shadow.spare_blocks[size_class];
        const std::size_t size = block_bytes(size_class);
        void* memory = spares;
        if (memory != nullptr) {
            // Spares come back cold from a sweep: the next one is fetched while this one is used.
            spares = spares->next;
            __builtin_prefetch(spares, 1);
        } else {
            std::int32_t error_code = 0;
            memory = access_.task.arena.allocate_unreported(size, error_code);
            if (memory == nullptr) {
                raise_idle(busy_, error_code, access_.site);
                return nullptr;
            }
            shadow.arena_bytes += size;
        }
        shadow.live_bytes += size;
        auto* block = static_cast<record_block_t*>(memory);
        block->size_class = static_cast<std::uint8_t>(size_class);
        block->older = nullptr;
        return block;
    }

    // A block holding the record that `value` holds inline, at `position` and `time` (which may not
    // fit inline), or null after raising.
    record_block_t* make_block(position_t position, std::uint64_t time, std::uint64_t value) noexcept {
        record_block_t* block = take_block(0);
        if (block == nullptr) return nullptr;
        block->count = 1;
        block->turns = 1;
        block->records()[0] = {time, record_key(record_match(inline_type(value), position.word()), inline_site(value), 0)};
        return block;
    }
    // An inline record that the access does not repeat moves into a block: the entry's new value,
    // or 0 after raising.
    std::uint64_t move_to_block(shadow_slot_t& slot, std::uint64_t value) noexcept {
        record_block_t* block = make_block(slot_position(slot), inline_time(value), value);
        if (block == nullptr) return 0;
        // A release may forget the inline record meanwhile; it keeps its type and site.
        do block->records()[0].time = inline_time(value);
        while (!atomic(slot.value).compare_exchange_strong(value, reinterpret_cast<std::uintptr_t>(block)));
        return reinterpret_cast<std::uintptr_t>(block);
    }

    // Blocks that a release marked all forgotten: their records are forgotten in place, and the mark
    // goes. The entry's new value.
    static std::uint64_t take_back(shadow_slot_t& slot, std::uint64_t value) noexcept {
        each_record(value, [](access_record_t& record) { atomic(record.time).store(forgotten_time, std::memory_order_relaxed); });
        value &= ~blocks_forgotten;
        atomic(slot.value).store(value);
        return value;
    }

    // A block the entry left, which readers that pinned the slot before may still be reading: it is
    // kept for the task's next blocks unless one holds a pin, and else stays unused.
    void retire(shadow_slot_t& slot, record_block_t* block) noexcept {
        if ((atomic(slot.tag).load() & ~(slot_key_bits | slot_erasing)) == 0) busy_.list().shadow().keep_block(block);
    }

    // Adds a record of `match` and `site` after the entry's newest, in a block of the next class
    // when the newest block is full; null after raising.
    access_record_t* append(shadow_slot_t& slot, std::uint64_t value, std::uint64_t match, std::uint32_t site) noexcept {
        record_block_t* block = block_of(value);
        const std::uint32_t count = block->count;
        const std::uint64_t key = record_key(match, site, block->turns);
        if (count < block_capacity(block->size_class)) {
            access_record_t* record = block->records() + count;
            *record = {access_.time, key};
            ++block->turns;
            atomic(block->count).store(count + 1);
            return record;
        }
        const bool copies = block->size_class + 1u < block_class_count;
        record_block_t* grown = take_block(copies ? block->size_class + 1u : block->size_class);
        if (grown == nullptr) return nullptr;
        const std::uint32_t copied = copies ? count : 0;
        access_record_t* records = grown->records();
        for (std::uint32_t index = 0; index < copied; ++index)
            records[index] = {atomic(block->records()[index].time).load(std::memory_order_relaxed), block->records()[index].key};
        records[copied] = {access_.time, key};
        grown->count = copied + 1;
        grown->turns = static_cast<std::uint16_t>(block->turns + 1);
        if (!copies) grown->older = block;
        const auto grown_value = reinterpret_cast<std::uintptr_t>(grown);
        if (!atomic(slot.value).compare_exchange_strong(value, grown_value)) {
            // A release forgot every record meanwhile; this access comes after it.
            each_record(grown_value, [&](access_record_t& record) {
                if (&record != records + copied) atomic(record.time).store(forgotten_time, std::memory_order_relaxed);
            });
            atomic(slot.value).store(grown_value);
        }
        if (copies) {
            // What a release forgot in the old block after the copy: it saw the old value when it
            // was done, so it is here that it must be found.
            for (std::uint32_t index = 0; index < copied; ++index)
                if (atomic(block->records()[index].time).load() == forgotten_time)
                    atomic(records[index].time).store(forgotten_time, std::memory_order_relaxed);
            retire(slot, block);
        }
        return records + copied;
    }

    bool record_in(cached_granule_t& cached, granule_walk_t& walk) noexcept {
        shadow_slot_t& slot = *cached.slot;
        const std::uint32_t word = walk.position.word();
        std::uint64_t value = atomic(slot.value).load(std::memory_order_relaxed);
        if (all_forgotten_blocks(value)) value = take_back(slot, value);
        if (is_inline(value)) {
            if (inline_type(value) == access_.type && slot.position == word && fits_inline(access_.time)) {
                std::uint32_t site = inline_site(value);
                if (inline_time(value) == forgotten_time && !fresh_site(site)) return false;
                const std::uint64_t now = inline_record(access_.time, access_.type, site);
                walk.changed = value != now;
                if (walk.changed) atomic(slot.value).store(now);
                return true;
            }
            value = move_to_block(slot, value);
            if (value == 0) return false;
        }
        record_block_t* block = block_of(value);
        const std::uint64_t match = record_match(access_.type, word);
        access_record_t* record = find_in_block(*block, match, cached.hint);
        for (record_block_t* older = block->older; record == nullptr && older != nullptr; older = older->older)
            record = find_in_block(*older, match, ~0u);
        if (record == nullptr) {
            std::uint32_t site = 0;
            if (!fresh_site(site)) return false;
            record = append(slot, value, match, site);
            if (record == nullptr) return false;
            block = block_of(atomic(slot.value).load(std::memory_order_relaxed));
            walk.changed = true;
        } else {
            const std::uint64_t was = atomic(record->time).load(std::memory_order_relaxed);
            walk.changed = was != access_.time;
            if (walk.changed) {
                std::uint32_t site = key_site(atomic(record->key).load(std::memory_order_relaxed));
                // A forgotten record stands for no access any more: it takes this one's site.
                if (was == forgotten_time && !fresh_site(site)) return false;
                // Taking the time, it goes after every record that took one before; the time
                // publishes the key.
                atomic(record->key).store(record_key(match, site, block->turns++), std::memory_order_relaxed);
                atomic(record->time).store(access_.time);
            }
        }
        // An index past the block when the record lies in an older one, which is harmless.
        cached.hint = static_cast<std::uint32_t>((reinterpret_cast<std::uintptr_t>(record) -
                                                  reinterpret_cast<std::uintptr_t>(block->records())) / sizeof(access_record_t));
        return true;
    }

    const access_t& access_;
    shadow_table_t& table_;
    arena_t& cell_arena_;
    site_table_t& sites_;
    busy_section_t& busy_;
};

// Builds the offended array, then fills the detection record and reports under the runtime lock. The
// offending access is the current one; a conflict descriptor identical to it (another task of the
// same type and id doing the same thing at the same site) is left out.
const std::uint32_t* reported_histories = nullptr;  // under the runtime lock, while a detection is reported
std::size_t reported_count = 0;

void report_sharing(const tavo_access_t& offending, const conflict_list_t& conflicts, scratch_arena_t& scratch,
                    std::uint64_t site) noexcept {
    std::size_t count = 0;
    conflicts.for_each([&](const tavo_access_t& access, std::uint32_t) {
        count += std::memcmp(&access, &offending, sizeof access) != 0;
    });
    // A detection with more offended accesses than one segment holds takes its array from the heap;
    // the histories follow the descriptors.
    constexpr std::size_t entry_size = sizeof(tavo_access_t) + sizeof(std::uint32_t);
    tavo_access_t* offended = nullptr;
    void* heap_array = nullptr;
    std::int32_t failure = 0;
    if (count != 0) {
        if (count * entry_size <= arena_area_size) {
            offended = static_cast<tavo_access_t*>(scratch.allocate_unreported(count * entry_size, failure));
        } else {
            heap_array = heap_allocate(count * entry_size);
            offended = static_cast<tavo_access_t*>(heap_array);
            if (offended == nullptr) failure = error::out_of_memory;
        }
    }
    std::uint32_t* histories = nullptr;
    if (offended != nullptr) {
        histories = reinterpret_cast<std::uint32_t*>(offended + count);
        std::size_t index = 0;
        conflicts.for_each([&](const tavo_access_t& access, std::uint32_t history) {
            if (std::memcmp(&access, &offending, sizeof access) == 0) return;
            histories[index] = history;
            offended[index++] = access;
        });
    } else {
        count = 0;
    }

    runtime_lock_guard_t guard;
    if (failure != 0) raise_system_error(failure, site);
    else if (count == 0) raise_system_error(error::internal, site);
    auto& record = __tavo_current_detection.sharing;
    record.offending = offending;
    record.offended_count = count;
    record.offended = offended;
    reported_histories = histories;
    reported_count = count;
    runtime.report(TAVO_EVENT_DATA_SHARING, site);
    reported_histories = nullptr;
    reported_count = 0;
    heap_free(heap_array, count * entry_size);
}

// Reached once a granule calls for a scan: only from here on does the check need its scratch arena,
// so the common access keeps a small stack frame.
[[gnu::noinline]] void check_with_scratch(access_check_t& check, const access_t& access, granule_walk_t& walk,
                                          busy_section_t& busy) noexcept {
    scratch_arena_t scratch;
    conflict_list_t conflicts(scratch);
    for (;;) {
        if (check.scan_due(walk) && check.scan(walk, conflicts))
            walk.cell->set_flags(cell_conflict_seen);
        if (!walk.advance() || !check.record(walk)) break;
    }
    busy.leave();
    if (conflicts.failure() != 0) raise_system_error(conflicts.failure(), access.site);
    if (conflicts.empty()) return;
    const tavo_access_t offending = descriptor(access.type, walk.position, walk.granule, access.task.type,
                                               access.task.id, access.site);
    report_sharing(offending, conflicts, scratch, access.site);
}

// The access lies in one granule where the task has an entry, found through its cache or its leaf
// hint, a record of its type there made at the task's time has the same position, and no conflict is
// pending in the cell: recording would change nothing and call for no scan. By the busy task.
bool repeats_newest_record(task_context_t& task, std::uint64_t address, std::uint32_t size, std::uint32_t type) noexcept {
    const auto offset = static_cast<std::uint32_t>(address & (granule_size - 1));
    if (offset + size > granule_size) return false;
    const std::uint64_t granule = address - offset;
    const std::uint32_t word = position_t::single_granule_word(offset, size);
    const auto [cell, slot] = cached_own_slot<true>(task, *task.shadow, granule);
    return slot != nullptr && holds_newest(*slot, *cell, task.time, type, word);
}

}  // namespace

history_source_t access_history = nullptr;

std::uint32_t offended_history(std::size_t index) noexcept {
    return index < reported_count ? reported_histories[index] : 0;
}

void tsm_t::check_access(task_context_t& task, std::uint64_t address, std::uint32_t size, std::uint32_t type,
                         std::uint64_t site) noexcept {
    if (task.exempt() || task.shadow == nullptr || type >= access_type::count) return;
    if (const filter_object_t* watch = filter.load(std::memory_order_acquire)) {
        if (!access_watched(*watch, address, size, site)) return;
    }
    if (size > largest_access) {
        raise_usage_error(error::access_too_big, site);
        size &= 0xFF;
    }
    if (size == 0) return;

    touched_list_t list(*task.shadow);
    if (!list.enter_busy(gate_)) return;
    if (repeats_newest_record(task, address, size, type)) return list.leave_busy();
    record_access(task, address, size, type, site);
}

namespace {

// Records the access from the walk's granule on, where the walk has no cell yet, or checks the
// granule that enter_untouched entered; reports what it finds.
[[gnu::noinline]] void record_walk(tsm_t& detector, busy_section_t& busy, task_context_t& task, granule_walk_t& walk,
                                   std::uint32_t type, std::uint64_t site) noexcept {
    const access_t access{task, type, site, task.time};
    access_check_t check(access, detector, busy);
    if (walk.cell != nullptr) {
        walk.changed = true;
        if (check.scan_due(walk)) check_with_scratch(check, access, walk, busy);
        return;
    }
    do {
        if (!check.record(walk)) return;
        if (check.scan_due(walk)) return check_with_scratch(check, access, walk, busy);
    } while (walk.advance());
}

}  // namespace

// Out of the way of the repeats, which then need no stack frame of this size.
[[gnu::noinline]] void tsm_t::record_access(task_context_t& task, std::uint64_t address, std::uint32_t size,
                                            std::uint32_t type, std::uint64_t site) noexcept {
    busy_section_t busy(touched_list_t(*task.shadow), gate_, busy_section_t::entered_t{});
    task_shadow_t& shadow = busy.list().shadow();
    shadow.newest_time = task.time;
    granule_walk_t walk(address, size);
    if (shadow.arena_bytes <= shadow.sweep_at) [[likely]] {
        std::uint64_t links = 0;
        walk.cell = enter_untouched(busy.list(), task, walk, type, site, links);
        // Alone in the cell, and no conflict flag to settle: nothing to compare with.
        if (walk.cell != nullptr && links / shadow_cell_t::count_unit == 1 && (links & cell_conflict_seen) == 0) return;
    } else {
        sweep_forgotten(busy.list(), task);
    }
    record_walk(*this, busy, task, walk, type, site);
}

void tsm_t::forget_range(task_context_t* releasing, std::uint64_t address, std::uint64_t size,
                         std::uint64_t site) noexcept {
    if (size == 0) return;
    forgetters_.fetch_add(1);
    if (gate_.state.load() != table_state::open) {
        forgetters_.fetch_sub(1);
        return;
    }
    if (releasing != nullptr && (releasing->exempt() || releasing->shadow == nullptr)) releasing = nullptr;
    if (const filter_object_t* watch = filter.load(std::memory_order_acquire); releasing != nullptr && watch != nullptr) {
        if (!access_watched(*watch, address, static_cast<std::uint32_t>(std::min<std::uint64_t>(size, UINT32_MAX)), site))
            releasing = nullptr;
    }
    const std::uint64_t end = address + size;
    scratch_arena_t scratch;
    conflict_list_t conflicts(scratch);
    table.for_each_cell(address, end, [&](std::uint64_t granule, shadow_cell_t& cell) {
        // The bytes of the granule that the range covers.
        const std::uint64_t low = std::max(address, granule);
        const std::uint64_t high = std::min(end, granule + granule_size);
        const position_t released{static_cast<std::uint8_t>(low - granule), static_cast<std::uint8_t>(high - low), 0, 0};
        const auto forgotten = [&](const position_t& position) {
            return position.offset >= released.offset && position.offset + position.length <= released.offset + released.length;
        };
        const bool whole = released.length == granule_size;
        cell.for_each_live(
            [&](pinned_cell_slot_t& slot) {
                const std::uint16_t other = slot.handle();
                if (releasing != nullptr && other != releasing->handle)
                    collect_unordered(slot, releasing->clock, access_type::write, released, granule, sites, conflicts);
                std::uint64_t entry = slot.value();
                // Its owner may move the record into a block meanwhile.
                while (is_inline(entry)) {
                    if (!forgotten(slot_position(slot.slot())) ||
                        atomic(slot.slot().value).compare_exchange_strong(
                            entry, inline_record(forgotten_time, inline_type(entry), inline_site(entry))))
                        return;
                }
                if (whole) return static_cast<void>(atomic(slot.slot().value).fetch_or(blocks_forgotten));
                // A block stays whole while the slot is pinned, but the owner may copy its records into
                // a new one meanwhile: then they are forgotten there too.
                for (;;) {
                    if (all_forgotten_blocks(entry)) return;
                    each_record(entry, [&](access_record_t& record) {
                        if (forgotten(key_position(atomic(record.key).load(std::memory_order_relaxed))))
                            atomic(record.time).store(forgotten_time);
                    });
                    const std::uint64_t now = slot.value();
                    if (block_of(now) == block_of(entry)) return;
                    entry = now;
                }
            },
            // Nothing to report and nothing left to forget.
            [&](std::uint16_t, std::uint64_t value) { return all_forgotten_blocks(value); });
    });
    forgetters_.fetch_sub(1);
    if (conflicts.failure() != 0) raise_system_error(conflicts.failure(), site);
    if (conflicts.empty()) return;
    const tavo_access_t offending{access_type::write, static_cast<std::uint32_t>(std::min<std::uint64_t>(size, UINT32_MAX)),
                                  address, static_cast<std::uint32_t>(releasing->type), 0, releasing->id, site};
    report_sharing(offending, conflicts, scratch, site);
}

}  // namespace tavo
