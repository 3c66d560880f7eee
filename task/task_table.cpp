#include "task/task_table.h"

#include <atomic>
#include <bit>

#include "runtime/runtime.h"

namespace tavo {

namespace {
// An exhausted heap is reported on each attempt; past these the entry is given up rather than
// spinning on a heap that does not recover.
constexpr int registration_attempts = 3;
}  // namespace

std::uint16_t allocate_task_handle() noexcept {
    for (std::uint32_t word = 0; word < handle_words; ++word) {
        std::atomic_ref<std::uint64_t> bits(task_handles.words[word]);
        for (std::uint64_t free = ~bits.load(); free != 0; free &= free - 1) {
            const std::uint64_t bit = free & (0 - free);
            if ((bits.fetch_or(bit) & bit) == 0) return static_cast<std::uint16_t>(word * 64 + std::countr_zero(bit));
        }
    }
    return 0;
}

void free_task_handle(std::uint16_t handle) noexcept {
    std::atomic_ref<std::uint64_t>(task_handles.words[handle / 64]).fetch_and(~(std::uint64_t{1} << (handle % 64)));
}

bool register_task(std::uint16_t handle, task_context_t* task) noexcept {
    const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(task));
    for (int attempt = 0; attempt < registration_attempts; ++attempt) {
        if (task_table.claim(handle, value, runtime.arena)) return true;
    }
    return false;
}

void unregister_task(std::uint16_t handle) noexcept { task_table.erase(handle); }

}  // namespace tavo
