// Task handles name tasks in every clock and shadow cell. The bitmap hands them out, lowest free
// first; the task table maps a live handle to its context, for other threads to read.
#pragma once

#include <cstdint>

#include "sync/handle_map.h"

namespace tavo {

struct task_context_t;

constexpr std::uint32_t handle_words = 1024;  // 65,536 handles; handle 0 is never handed out

struct task_handles_t {
    std::uint64_t words[handle_words] = {1};
};

extern task_handles_t task_handles;
// Values are context pointers. One inserter per handle, so the insert lock is not used.
extern handle_map_t task_table;

// The lowest free handle, or 0 when all 65,535 are taken. Lock-free.
std::uint16_t allocate_task_handle() noexcept;
void free_task_handle(std::uint16_t handle) noexcept;

// False after -9998 was reported for every attempt; the table is unchanged then.
bool register_task(std::uint16_t handle, task_context_t* task) noexcept;
// Waits for the readers of the entry to leave.
void unregister_task(std::uint16_t handle) noexcept;

inline task_context_t* task_of(const pinned_slot_t& entry) noexcept {
    return reinterpret_cast<task_context_t*>(static_cast<std::uintptr_t>(entry.value()));
}

}  // namespace tavo
