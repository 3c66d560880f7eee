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
    // Kept ahead of those added before the last begin_run, and behind those added since.
    void add(const tavo_access_t& access, std::uint32_t history) noexcept {
        if (failure_ != 0 || contains(access)) return;
        void* memory = scratch_.allocate_unreported(sizeof(node_t), failure_);
        if (memory == nullptr) return;
        node_t*& link = run_end_ != nullptr ? run_end_->next : head_;
        link = run_end_ = new (memory) node_t{access, link, history};
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

// Adds to `conflicts` every record of another task's entry, pinned in `slot`, that `clock` leaves
// unordered, has a type that conflicts with `type` and shares a byte with `position` in `granule`.
// True when there was one. The clock, the calling task's own, is read only for an entry that holds
// a conflicting type.
bool collect_unordered(pinned_cell_slot_t& slot, sync_clock_t& clock, std::uint32_t type, const position_t& position,
                       std::uint64_t granule, const site_table_t& sites, conflict_list_t& conflicts) noexcept {
    const std::uint64_t entry = slot.value();
    if (all_forgotten_lists(entry)) return false;
    other_task_t owner{slot.handle()};
    conflicts.begin_run();
    if (is_inline(entry)) {
        const std::uint64_t time = inline_time(entry);
        const std::uint32_t earlier = inline_type(entry);
        const position_t recorded = slot_position(slot.slot());
        if (!access_types_conflict(type, earlier) || time == forgotten_time || !recorded.shares_byte_with(position) ||
            time < clock.own_time_of(owner.handle) || !owner.identify())
            return false;
        const interned_site_t& site = sites.at(inline_site(entry));
        conflicts.add(descriptor(earlier, recorded, granule, owner.type, owner.id, site.site), site.history);
        return true;
    }
    bool found = false;
    std::uint64_t known = 0;
    bool looked_up = false;
    for (std::uint32_t earlier = 0; earlier < access_type::count; ++earlier) {
        if (!access_types_conflict(type, earlier)) continue;
        access_record_t* record = entry_head(entry, earlier);
        if (record != nullptr && !looked_up) {
            known = clock.own_time_of(owner.handle);
            looked_up = true;
        }
        for (std::uint64_t run_time = forgotten_time; record != nullptr; record = atomic(record->next).load()) {
            const std::uint64_t time = atomic(record->time).load();
            // Forgotten in place, ahead of records that were not.
            if (time == forgotten_time) continue;
            // Ordered before us, and so is every older one.
            if (time < known) break;
            if (time != run_time) {
                run_time = time;
                conflicts.begin_run();
            }
            if (!record->position.shares_byte_with(position)) continue;
            if (!owner.identify()) break;
            found = true;
            const interned_site_t& site = sites.at(atomic(record->site).load(std::memory_order_relaxed));
            conflicts.add(descriptor(earlier, record->position, granule, owner.type, owner.id, site.site), site.history);
        }
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
            // The own slot, a single record of a type that tolerates ours and lists all forgotten
            // need no pin.
            [&](std::uint16_t key, std::uint64_t value) {
                return key == access_.task.handle || all_forgotten_lists(value) ||
                       (is_inline(value) && !access_types_conflict(access_.type, inline_type(value)));
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

    // The task's first access to the cell: its record enters the cell inline, or in lists when its
    // time does not fit. The granule is noted in the touched list first, so that no entry can miss
    // its removal at task end. The task's slot, or null.
    shadow_slot_t* enter_cell(shadow_cell_t& cell, granule_walk_t& walk) noexcept {
        std::int32_t error_code = 0;
        std::uint32_t site = 0;
        shadow_slot_t* slot = nullptr;
        if (busy_.list().note(walk.granule, access_.task.arena, error_code) && site_index(site, error_code)) {
            std::uint64_t value = inline_record(access_.time, access_.type, site);
            if (!fits_inline(access_.time)) {
                access_lists_t* lists = make_lists(walk.position, value);
                if (lists == nullptr) return nullptr;
                value = reinterpret_cast<std::uintptr_t>(lists);
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

    // Memory for lists or a record, from the task's spares or else its arena; null after raising.
    void* take(spare_t*& spares, std::size_t size) noexcept {
        task_shadow_t& shadow = busy_.list().shadow();
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
        return memory;
    }

    // Lists holding the record that `value` holds inline, at `position` (its time may not fit), or
    // null after raising.
    access_lists_t* make_lists(position_t position, std::uint64_t value) noexcept {
        void* memory = take(busy_.list().shadow().spare_lists, sizeof(access_lists_t) + sizeof(access_record_t));
        if (memory == nullptr) return nullptr;
        auto* lists = new (memory) access_lists_t{};
        lists->heads[inline_type(value)] = new (lists + 1) access_record_t{nullptr, access_.time, inline_site(value), position};
        return lists;
    }
    // An inline record that the access does not repeat moves into lists, or null after raising.
    access_lists_t* move_to_lists(shadow_slot_t& slot, std::uint64_t value) noexcept {
        access_lists_t* lists = make_lists(slot_position(slot), value);
        if (lists == nullptr) return nullptr;
        access_record_t* first = lists->heads[inline_type(value)];
        // A release may forget the inline record meanwhile; it keeps its type and site.
        do first->time = inline_time(value);
        while (!atomic(slot.value).compare_exchange_strong(value, reinterpret_cast<std::uintptr_t>(lists)));
        return lists;
    }

    // Lists that a release marked all forgotten: their records are forgotten in place, and the mark
    // goes.
    static access_lists_t* take_back(shadow_slot_t& slot, std::uint64_t value) noexcept {
        access_lists_t* lists = lists_of(value);
        for (access_record_t* record : lists->heads)
            for (; record != nullptr; record = record->next) atomic(record->time).store(forgotten_time, std::memory_order_relaxed);
        atomic(slot.value).store(reinterpret_cast<std::uintptr_t>(lists));
        return lists;
    }

    bool record_in(cached_granule_t& cached, granule_walk_t& walk) noexcept {
        shadow_slot_t& slot = *cached.slot;
        const std::uint32_t word = walk.position.word();
        const std::uint64_t value = atomic(slot.value).load(std::memory_order_relaxed);
        access_lists_t* lists = reinterpret_cast<access_lists_t*>(value);
        if (all_forgotten_lists(value)) lists = take_back(slot, value);
        if (is_inline(value)) {
            if (inline_type(value) == access_.type && slot.position == word && fits_inline(access_.time)) {
                std::uint32_t site = inline_site(value);
                if (inline_time(value) == forgotten_time && !fresh_site(site)) return false;
                const std::uint64_t now = inline_record(access_.time, access_.type, site);
                walk.changed = value != now;
                if (walk.changed) atomic(slot.value).store(now);
                return true;
            }
            lists = move_to_lists(slot, value);
            if (lists == nullptr) return false;
        }
        access_record_t*& head = lists->heads[access_.type];
        // Where the cache names the last record of the task's time and the position is not among
        // those of that time, it lies after that record if anywhere: a task going over a granule in
        // the order it did at its last time finds each record right there. Else the whole list.
        access_record_t* last = newest_of(cached, access_.time, access_.type);
        std::uint64_t words = cached.newest_words;
        // Forgotten records passed since the last one of the time: their positions count only
        // once a record of the time follows them.
        std::uint64_t forgotten = 0;
        const auto pass = [&](access_record_t* passed) {
            const std::uint64_t time = atomic(passed->time).load(std::memory_order_relaxed);
            if (time == forgotten_time) {
                forgotten |= word_bit(passed->position.word());
            } else if (time == access_.time) {
                last = passed;
                words |= forgotten | word_bit(passed->position.word());
                forgotten = 0;
            }
            return time;
        };
        access_record_t* previous = last;
        access_record_t* record = nullptr;
        if (last != nullptr && (words & word_bit(word)) == 0) {
            for (record = owned_next(last); record != nullptr && record->position.word() != word; record = owned_next(record))
                previous = record;
        } else {
            last = previous = nullptr;
            words = 0;
            for (record = atomic(head).load(std::memory_order_relaxed); record != nullptr && record->position.word() != word;
                 previous = record, record = owned_next(record))
                pass(record);
        }
        if (record == nullptr) {
            std::uint32_t site = 0;
            if (!fresh_site(site)) return false;
            void* memory = take(busy_.list().shadow().spare_records, sizeof(access_record_t));
            if (memory == nullptr) return false;
            access_record_t*& link = last != nullptr ? last->next : head;
            record = new (memory) access_record_t{atomic(link).load(std::memory_order_relaxed), access_.time, site, walk.position};
            atomic(link).store(record);
        } else {
            const std::uint64_t was = atomic(record->time).load(std::memory_order_relaxed);
            walk.changed = was != access_.time;
            if (!walk.changed) return true;
            if (was == forgotten_time) {
                // A forgotten record stands for no access any more: it takes this one's site,
                // published by the time, which a reader loads first.
                std::uint32_t site = 0;
                if (!fresh_site(site)) return false;
                atomic(record->site).store(site, std::memory_order_relaxed);
                // It may lie ahead of records of the time.
                for (access_record_t* later = owned_next(record); later != nullptr; later = owned_next(later)) {
                    const std::uint64_t time = pass(later);
                    if (time != access_.time && time != forgotten_time) break;
                }
            }
            // The time publishes the refresh; the move needs no more than release, as the record
            // stays reachable throughout. Unlinked first, so that a reader standing on the record
            // meets it once at most.
            atomic(record->time).store(access_.time);
            if (previous != last) {
                access_record_t*& from = previous != nullptr ? previous->next : head;
                access_record_t*& to = last != nullptr ? last->next : head;
                atomic(from).store(owned_next(record), std::memory_order_release);
                atomic(record->next).store(atomic(to).load(std::memory_order_relaxed), std::memory_order_release);
                atomic(to).store(record, std::memory_order_release);
            }
        }
        walk.changed = true;
        cached.newest = reinterpret_cast<std::uintptr_t>(record) | access_.type;
        cached.newest_words = words | word_bit(word);
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
    const auto [cell, slot] = cached_own_slot<true>(task, granule);
    return slot != nullptr && holds_newest(*slot, *cell, task.time, type, word, *task.shadow, granule);
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
                // Its owner may move the record into lists meanwhile.
                while (is_inline(entry)) {
                    if (!forgotten(slot_position(slot.slot())) ||
                        atomic(slot.slot().value).compare_exchange_strong(
                            entry, inline_record(forgotten_time, inline_type(entry), inline_site(entry))))
                        return;
                }
                // Lists keep their address while the slot is pinned.
                if (whole) return static_cast<void>(atomic(slot.slot().value).fetch_or(lists_forgotten));
                if (all_forgotten_lists(entry)) return;
                for (std::uint32_t type = 0; type < access_type::count; ++type) {
                    for (access_record_t* record = entry_head(entry, type); record != nullptr; record = atomic(record->next).load())
                        if (forgotten(record->position)) atomic(record->time).store(forgotten_time);
                }
            },
            // Nothing to report and nothing left to forget.
            [&](std::uint16_t, std::uint64_t value) { return all_forgotten_lists(value); });
    });
    forgetters_.fetch_sub(1);
    if (conflicts.failure() != 0) raise_system_error(conflicts.failure(), site);
    if (conflicts.empty()) return;
    const tavo_access_t offending{access_type::write, static_cast<std::uint32_t>(std::min<std::uint64_t>(size, UINT32_MAX)),
                                  address, static_cast<std::uint32_t>(releasing->type), 0, releasing->id, site};
    report_sharing(offending, conflicts, scratch, site);
}

}  // namespace tavo
