#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/feature.h"
#include "tsm/arena.h"
#include "tsm/shadow_table.h"
#include "tsm/site_table.h"
#include "tsm/touched_cells.h"

namespace tavo {

struct task_context_t;

// What the quick check of a one-granule access leaves: nothing, recording it (no repeat was
// found; the task is left busy), or the whole check (a gate that is not in its common state).
enum class granule_rest_t : std::uint8_t { done, record, check };

// The data-sharing detector: records every checked access in shadow memory under the accessing
// task and reports two unordered accesses of different tasks to common bytes, one of them
// modifying them.
class tsm_t final : public feature_t {
public:
    explicit tsm_t(runtime_t* owner) noexcept : feature_t(owner) {}
    // Tasks still running after the detector is gone record nothing.
    ~tsm_t() override;
    // The same without freeing anything, for a detector that threads may still be using.
    void close() noexcept;

    // Empties the shadow table and frees every cell, once no task is using shadow memory; runs under
    // the runtime lock, from the configuration poll.
    void reset() noexcept override;

    // A task ended: its entries leave every cell it touched, so nothing it did is compared with
    // anything again.
    void forget_task(task_context_t& task) noexcept;
    // The time of the task's newest record, or 0 when it has none; by the task's own thread.
    std::uint64_t last_record_time(task_context_t& task) noexcept;

    // Records one access of `task` (access type 0 to 3) and reports it with every unordered
    // conflicting access of another task. Raises and reports under the runtime lock, which the
    // caller must not hold.
    void check_access(task_context_t& task, std::uint64_t address, std::uint32_t size, std::uint32_t type,
                      std::uint64_t site) noexcept;
    // The same for an access of 1 to 8 bytes within one granule, of a type below atomic: a task's
    // repeat of a record of its current time there takes a few loads and no call (granule_check.h).
    inline void check_granule(task_context_t& task, std::uint64_t address, std::uint32_t size, std::uint32_t type,
                              std::uint64_t site) noexcept;
    // check_granule in two parts: the quick one, which makes no call and has no effect but the busy
    // flag it may leave set, and the rest, which must follow for the same access. `asymmetric`:
    // whether the process has an asymmetric fence (the gate's word); the quick path passes true, as
    // a process without one takes the whole way (quick_off::full_fence).
    inline granule_rest_t quick_granule(task_context_t& task, std::uint64_t address, std::uint32_t size, std::uint32_t type,
                                        bool asymmetric) noexcept;
    inline void finish_granule(granule_rest_t rest, task_context_t& task, std::uint64_t address, std::uint32_t size,
                               std::uint32_t type, std::uint64_t site) noexcept;
    // check_access once its gates passed, for an access found to repeat no record, by the busy task.
    void record_access(task_context_t& task, std::uint64_t address, std::uint32_t size, std::uint32_t type,
                       std::uint64_t site) noexcept;

    // The program received [address, address + size) fresh, or gave it back (free, munmap): every
    // record of every task there is forgotten, so that a later block at the same address starts with
    // no history. With a releasing task, the release first counts as that task's write of the whole
    // range: the unordered records of other tasks there are reported, the offending access being the
    // write (its size the range's, capped at 4 GiB - 1). Costs a walk over the cells the range holds.
    // Raises and reports under the runtime lock, which the caller must not hold.
    //
    // Protocol. Records are forgotten in place: their time is set to forgotten_time, which orders
    // them before every access, or, where the range covers the granule, the blocks holding them are
    // marked all forgotten (access_record.h), which the owner turns into those times before it
    // records there again. They stay where they are, in their blocks and their owners' arenas, so the
    // owner reuses them on its next access to the same bytes and nothing is freed under a reader; the
    // owner's sweep takes back an entry left with nothing else only once the slot's erasure has
    // waited out its readers. Entries are read pinned, as by a scan (blocks already marked are passed
    // over), so an ending task waits for the walk before its arena goes; where the owner copies a
    // block into a larger one meanwhile, its forgotten records stay forgotten (record_block_t). The walk
    // writes nothing but record times and marks; an owner that refreshes a record meanwhile either
    // gives it its own time or has its time overwritten or its blocks marked: both happen only when
    // the owner's access and the release are unordered, which the release's own check reports.
    // Against a reset: the walker counts itself in `forgetters_` and then reads the table state,
    // going on only when it is open; a reset stores the resetting state and then waits for the
    // count to drop to 0. Both sides are sequentially consistent, so no cell is freed under a walk;
    // a walk that meets a reset gives up, the reset forgetting everything anyway. No busy flag is
    // involved, so a thread with no task (a thread-local destructor freeing memory after the
    // thread's task ended) forgets as well.
    void forget_range(task_context_t* releasing, std::uint64_t address, std::uint64_t size, std::uint64_t site) noexcept;

    // Shadow memory has an arena of its own: a reset rewinds it, and clocks must outlive resets.
    shadow_table_t table;
    arena_t cell_arena{arena_t::populating};
    // Kept through resets: task caches and their indexes outlive them.
    site_table_t sites;

private:
    // Erases the busy task's entries that hold forgotten records only, keeping their memory for its
    // next records, and drops their granules from its touched list. Run when the task's record
    // memory grew past its mark: so memory of blocks the program freed is used again, while the
    // cost of a sweep, a walk over the task's touched granules, stays in proportion to that growth.
    // Erasing takes no more than a task's end takes, and an entry with nothing but forgotten
    // records is one no scan reports from.
    void sweep_forgotten(touched_list_t& list, task_context_t& task) noexcept;

    // Read by every access, written only by resets.
    alignas(64) table_gate_t gate_;
    // Written by every release: a line of its own, away from the state every access reads.
    alignas(64) std::atomic<std::uint32_t> forgetters_{0};
};

}  // namespace tavo
