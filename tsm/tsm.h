#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/feature.h"
#include "tsm/arena.h"
#include "tsm/shadow_table.h"

namespace tavo {

struct task_context_t;

// The data-sharing detector: records every checked access in shadow memory under the accessing
// task and reports two unordered accesses of different tasks to common bytes, one of them
// modifying them.
class tsm_t final : public feature_t {
public:
    explicit tsm_t(runtime_t* owner) noexcept : feature_t(owner) {}
    // Tasks still running after the detector is gone record nothing.
    ~tsm_t() override;

    // Empties the shadow table and frees every cell, once no task is using shadow memory; runs under
    // the runtime lock, from the configuration poll.
    void reset() noexcept override;

    // A task ended: its entries leave every cell it touched, so nothing it did is compared with
    // anything again.
    void forget_task(task_context_t& task) noexcept;
    // The records of [address, address + size) of every task whose handle `idle` accepts: memory
    // that is no longer what those tasks used (a dead stack frame, a data block given to another
    // task). `idle` may accept only tasks that record nothing meanwhile (ended, or suspended on
    // the calling thread); `current` is the calling thread's task, which keeps resets away.
    // Defined in tsm/forget_range.h.
    template <class Idle>
    void forget_range(task_context_t& current, std::uint64_t address, std::uint64_t size, Idle&& idle) noexcept;

    // Records one access of `task` (access type 0 to 3) and reports it with every unordered
    // conflicting access of another task. Raises and reports under the runtime lock, which the
    // caller must not hold.
    void check_access(task_context_t& task, std::uint64_t address, std::uint32_t size, std::uint32_t type,
                      std::uint64_t site) noexcept;

    // Shadow memory has an arena of its own: a reset rewinds it, and clocks must outlive resets.
    shadow_table_t table;
    arena_t cell_arena;

private:
    // table_state::open, resetting or closed; read by every access, written only by resets.
    alignas(64) std::atomic<std::uint32_t> table_state_{0};
};

}  // namespace tavo
