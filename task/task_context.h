#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/log.h"
#include "sync/sync_object.h"
#include "tsm/arena.h"

namespace tavo {

struct wait_node_t;
struct task_shadow_t;

// An object a non-acquiring atomic read read, with its clock's count of changes just after the
// read, for the task's next acquire fence (sync_operation.h).
struct read_note_t {
    object_clock_t* clock = nullptr;
    std::uint64_t changes = 0;
    sync_object_t object{};
};
constexpr std::size_t read_note_count = 4;

constexpr std::uint32_t task_exempt = 0x1;  // the data-sharing check ignores the task's accesses
constexpr std::uint32_t task_ended = 0x2;   // kept after its end; see ended_tasks.h

// A task that has been entered and not yet left. Its arena comes first, holding everything
// recorded on the task's behalf; it lives exactly as long as the task.
struct task_context_t {
    arena_t arena;
    task_shadow_t* shadow;  // the detector's, in the arena; null if it could not be allocated
    task_context_t* parent;
    wait_node_t* wait_list;
    sync_clock_t clock;
    std::uint64_t time;
    std::int32_t type;
    std::uint64_t id;
    std::uint16_t handle;
    std::uint32_t flags;
    // Once the task has ended and is kept: its last record's time, its memory, the next kept task.
    std::uint64_t last_time = 0;
    std::size_t retained = 0;
    task_context_t* next_ended = nullptr;
    // The object clock this task last knew in full, and its count of changes then (sync_object.h).
    const object_clock_t* known_clock = nullptr;
    std::uint64_t known_changes = 0;
    // Whether that clock also holds this task's whole clock but its own time.
    bool known_holds_task = false;
    // The value word of the task's own entry in its clock, once a tick found it (sync_clock.h).
    std::uint64_t* own_time = nullptr;
    // Set by the task's first release fence; `fence_clock` is then the task's clock at its latest
    // one. The reads noted since the last acquire fence, the oldest overwritten first.
    bool fenced = false;
    std::uint8_t next_note = 0;
    sync_clock_t fence_clock;
    read_note_t notes[read_note_count];

    task_context_t(std::int32_t task_type, std::uint64_t task_id, std::uint16_t task_handle,
                   task_context_t* parent_task) noexcept;

    bool exempt() const noexcept { return (flags & task_exempt) != 0; }
    bool ended() const noexcept { return (flags & task_ended) != 0; }
    task_label_t label() const noexcept { return {type, id, handle}; }
};

// Null after reporting -9998 when the heap has no room for it.
task_context_t* new_task_context(std::int32_t type, std::uint64_t id, std::uint16_t handle,
                                 task_context_t* parent) noexcept;
// Frees the context and everything in its arena.
void delete_task_context(task_context_t* task) noexcept;

}  // namespace tavo
