// The calling thread's stack of calls, as __tsan_func_entry and __tsan_func_exit keep it, and the
// id of it (with the locks the thread holds) that every access record made now will keep.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frontend/stack_store.h"

namespace tavo::frontend {

// history=0: no ids are made; accesses keep their call site only. Set before threads start.
extern bool keep_history;
void keep_history_from_here(bool keep) noexcept;

// The id of the calling thread's calls (0 when no history is kept).
stack_id_t current_stack() noexcept;
// The return addresses of the calling thread's calls, innermost first, without the outermost,
// which lies in code that was not instrumented (the C library's start, a thread's trampoline).
std::size_t current_frames(std::uint64_t* pcs, std::size_t capacity) noexcept;
// The stack of a call made at `site` by the calling thread: allocations, thread creation, locking.
inline stack_id_t stack_at(std::uint64_t site) noexcept {
    return intern(keep_history ? current_stack() : 0, node_kind_t::frame, site);
}
// The same for a call made from code that was not instrumented (a library's, on the program's
// behalf): the frames between the site and the innermost instrumented function are unwound.
// Costs an unwind: for rare events only.
stack_id_t stack_unwound(std::uint64_t site) noexcept;
// The set of locks the calling thread now holds (a lock node chain, 0 for none).
void set_lockset(stack_id_t locks) noexcept;

}  // namespace tavo::frontend
