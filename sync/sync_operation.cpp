#include "sync/sync_operation.h"

#include "runtime/entry_frame.h"
#include "runtime/errors.h"
#include "runtime/log.h"
#include "sync/sync_clock.h"
#include "task/ended_tasks.h"
#include "task/task_context.h"

namespace tavo {

namespace {

const char* order_word(std::uint32_t order) {
    switch (order) {
    case 0: return "<relaxed>";
    case 1: return "consumes";
    case 2: return "acquires";
    case 3: return "releases";
    case 4: return "acquires and releases";
    case 5: return "ensures sequential consistency using";
    case 16: return "destroys";
    case 32: return "weak/not acquires";
    case 33: return "weak/not releases";
    case 34: return "resets and releases";
    case 35: return "resets";
    case 36: return "continues";
    default: return "<error>";
    }
}

std::atomic_ref<std::uint64_t> changes_of(object_clock_t& clock) { return std::atomic_ref<std::uint64_t>(clock.changes); }

// The task's own entry never moves nor goes while the task runs: once found, it is raised in place,
// by a store, as no one but the task writes it.
void tick(task_context_t& task) {
    if (task.own_time != nullptr && task.time != UINT64_MAX) {
        std::atomic_ref<std::uint64_t>(*task.own_time).store(++task.time, std::memory_order_release);
        return;
    }
    task.own_time = task.clock.tick(task.time, task.handle, runtime.arena);
}

// Acquiring copies what the object knows into the task's clock; the task's time stays. Skipped
// when the task knows the object's clock as it is.
void acquire(task_context_t& task, object_clock_t* object_clock) {
    if (object_clock == nullptr) return;
    const std::uint64_t changes = changes_of(*object_clock).load();
    if (task.known_clock == object_clock && task.known_changes == changes) return;
    task.known_holds_task = false;
    if (task.clock.join(object_clock, runtime.arena)) {
        task.known_clock = object_clock;
        task.known_changes = changes;
    }
}

// Releasing ticks the task's time and publishes the task's clock, its own entry included. When
// the object holds the task's whole clock but its time, raising that one entry publishes it.
void release(task_context_t& task, object_clock_t* object_clock) {
    if (object_clock == nullptr) return;
    std::atomic_ref<std::uint64_t> count = changes_of(*object_clock);
    std::uint64_t changes = count.load();
    const bool knew = task.known_clock == object_clock && task.known_changes == changes;
    tick(task);
    bool one_entry = false;
    if (knew && task.known_holds_task) {
        if (pinned_slot_t entry = object_clock->find(task.handle)) {
            entry.raise(task.time);
            one_entry = true;
        }
    }
    const bool whole = one_entry || task.clock.publish(*object_clock, runtime.arena);
    if (knew && count.compare_exchange_strong(changes, changes + 1)) {
        task.known_changes = changes + 1;
        task.known_holds_task = whole;
        return;
    }
    // Something else changed the object meanwhile, perhaps a clear: the one entry may not be enough.
    if (one_entry) task.clock.publish(*object_clock, runtime.arena);
    count.fetch_add(1);
}

// A relaxed store or read-modify-write after a release fence releases the clock of the fence.
void release_fence_clock(task_context_t& task, object_clock_t* object_clock) {
    if (object_clock == nullptr) return;
    task.fence_clock.publish(*object_clock, runtime.arena);
    changes_of(*object_clock).fetch_add(1);
}

// A clear is counted before entries go and after: no task can claim the object holds its clock
// from a release that ran beside the clear.
void clear(object_clock_t& object_clock) {
    changes_of(object_clock).fetch_add(1);
    object_clock.clear();
    changes_of(object_clock).fetch_add(1);
}

// Returns the order the log shows: a weak operation that found its object shows the strong one.
std::uint32_t act(task_context_t& task, sync_object_t given, sync_object_t resolved,
                  std::uint32_t order) {
    switch (order) {
    case memory_order::acquire: acquire(task, get_or_create_clock(resolved)); return order;
    case memory_order::release: release(task, get_or_create_clock(resolved)); return order;
    case memory_order::destroy:
        if (resolved == given) remove_object(resolved);
        else remove_alias(given);
        return order;
    case memory_order::weak_acquire:
        if (object_clock_t* clock = find_clock(resolved)) {
            acquire(task, clock);
            return memory_order::acquire;
        }
        return order;
    case memory_order::weak_release:
        if (object_clock_t* clock = find_clock(resolved)) {
            release(task, clock);
            return memory_order::release;
        }
        return order;
    // Emptying a clock costs: skipped when the release would leave it as emptying would, or
    // when it is empty already.
    case memory_order::store_release:
        if (object_clock_t* clock = get_or_create_clock(resolved)) {
            if (!clock->covered_by(task.clock)) clear(*clock);
            release(task, clock);
        }
        return order;
    case memory_order::store_relaxed:
        if (task.fenced) {
            if (object_clock_t* clock = get_or_create_clock(resolved)) {
                if (!clock->covered_by(task.fence_clock)) clear(*clock);
                release_fence_clock(task, clock);
            }
        } else if (object_clock_t* clock = find_clock(resolved); clock != nullptr && clock->entry_count() != 0) {
            clear(*clock);
        }
        return order;
    case memory_order::update_relaxed:
        release_fence_clock(task, get_or_create_clock(resolved));
        return order;
    default:
        raise_usage_error_at_thread_site(error::invalid_memory_order);
        return order;
    }
}

void write_state(std::ostream& stream, sync_clock_t& clock) {
    stream << ". State (handle, time):";
    clock.for_each_live([&](pinned_slot_t& entry) { stream << " (" << entry.handle() << ", " << entry.value() << ')'; });
}

// A relaxed write after a release fence shows the fence's clock, which is what it released.
[[gnu::cold, gnu::noinline]] void log_operation(task_context_t& task, sync_object_t shown, std::uint32_t order) {
    const bool fenced = task.fenced && (order == memory_order::store_relaxed || order == memory_order::update_relaxed);
    log_task_line(log_family::sync, task.label(), [&](std::ostream& stream) {
        stream << ' ' << order_word(order) << " sync object " << shown.type << '.' << hex(shown.id) << " at " << task.time;
        if (fenced) stream << " from its fence";
        write_state(stream, fenced ? task.fence_clock : task.clock);
    });
}

}  // namespace

void sync_operation(sync_object_t object, std::uint32_t order, std::uint64_t site) noexcept {
    thread_record_t* record = enter_frame(TAVO_ACTIVE_SYNC);
    if (record != nullptr) sync_operation_on(*record, object, order, site);
}

namespace {

inline void operate(task_context_t& task, sync_object_t object, sync_object_t resolved, std::uint32_t order) {
    const std::uint32_t shown_order = act(task, object, resolved, order);
    const bool destroyed_alias = order == memory_order::destroy && !(resolved == object);
    if (logging(log_family::sync)) [[unlikely]] log_operation(task, destroyed_alias ? object : resolved, shown_order);
    // A join or task wait may be what orders a kept ended task for the last live task.
    if (resolved.type == task_end_sync_type && shown_order == memory_order::acquire &&
        (flags_word() & TAVO_FLAG_KEEP_ENDED_TASKS))
        forget_ordered_ended_tasks();
}

}  // namespace

void sync_operation_on(thread_record_t& record, sync_object_t object, std::uint32_t order,
                       std::uint64_t site) noexcept {
    if (record.current_task == nullptr) return;
    task_context_t& task = *record.current_task;
    record.last_site = site;
    if (!is_valid_sync_type(object.type)) return raise_usage_error_at_thread_site(error::invalid_sync_type);
    // As resolve(), with the object apart from its alias: no copy of it needs to meet the other.
    if (sync_aliases.sizes[object.type].load(std::memory_order_acquire) == 0) return operate(task, object, object, order);
    operate(task, object, resolve_alias(object), order);
}

void note_read(thread_record_t& record, sync_object_t object) noexcept {
    if (record.current_task == nullptr) return;
    task_context_t& task = *record.current_task;
    const sync_object_t resolved = resolve(object);
    object_clock_t* clock = find_clock(resolved);
    if (clock == nullptr) return;
    task.notes[task.next_note++ % read_note_count] = {clock, changes_of(*clock).load(), resolved};
}

void fence_on(thread_record_t& record, bool acquires, bool releases, std::uint64_t site) noexcept {
    if (record.current_task == nullptr) return;
    task_context_t& task = *record.current_task;
    record.last_site = site;
    if (acquires) {
        for (read_note_t& note : task.notes) {
            if (note.clock != nullptr && changes_of(*note.clock).load() == note.changes) {
                acquire(task, note.clock);
                if (logging(log_family::sync)) log_operation(task, note.object, memory_order::acquire);
            }
            note = {};
        }
    }
    if (releases) {
        tick(task);
        task.clock.publish(task.fence_clock, runtime.arena);
        task.fenced = true;
        log_task_line(log_family::sync, task.label(), [&](std::ostream& stream) {
            stream << " fence releases at " << task.time;
            write_state(stream, task.fence_clock);
        });
    }
}

}  // namespace tavo
