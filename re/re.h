#pragma once

#include <compare>
#include <cstdint>
#include <vector>

#include "runtime/feature.h"
#include "runtime/memory.h"

namespace tavo {

struct task_context_t;

// Tasks are named here as the program names them; handles are reused, these names are not.
struct task_key_t {
    std::int32_t type;
    std::uint64_t id;
    auto operator<=>(const task_key_t&) const = default;  // type signed, then id unsigned
};

// One watched function that a task has entered and not yet left.
struct call_entry_t {
    std::uint64_t function;
    std::uint64_t frame;  // passed with the call: a deeper call has a lower one
    bool operator==(const call_entry_t&) const = default;
};

// The reentrant-call detector. Each task keeps a call stack of the watched functions it is
// inside; an entry is reported when another task's stack holds the same function.
//
// The re lock guards the table and the stacks. It is never held while waiting for the runtime
// lock: nothing is logged or reported under it, so a reset from the configuration poll (which
// takes it under the runtime lock) cannot deadlock.
class re_t final : public feature_t {
public:
    using call_stack_t = deque_t<call_entry_t>;

    using feature_t::feature_t;

    void reset() noexcept override;
    // A task ended: nothing it did may be compared with anything again.
    void forget_task(task_context_t& task) noexcept;

    // Records the entry of `function` (already resolved through any jump stub), then checks it.
    void enter(task_key_t task, std::uint64_t function, std::uint64_t frame) noexcept;
    void leave(task_key_t task, std::uint64_t function, std::uint64_t frame) noexcept;
    // Reports event 257 when other tasks are inside `function`.
    void check(task_key_t task, std::uint64_t function) noexcept;

    // Inspection: a copy of the task's call stack, oldest first, empty when it has none.
    // Throws std::bad_alloc.
    std::vector<call_entry_t> call_stack(task_key_t task);
    std::size_t call_stack_count() noexcept;

private:
    map_t<task_key_t, call_stack_t> call_stacks_;
};

// Instrumented code may pass the address of a jump thunk (jmp rel32) instead of the function;
// every thunk of a function leads to it, and entries must agree on one address. One jump is
// followed. A null address is returned unread.
std::uint64_t resolve_jump_stub(std::uint64_t function) noexcept;

}  // namespace tavo
