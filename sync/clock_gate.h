// The gate between clock insertions and handle retirement.
#pragma once

#include <cstdint>

namespace tavo {

// Protocol. Inserters into clocks are shared holders: each waits while the flag is set, adds
// itself to the inserter count, and backs out and starts over if the flag was set meanwhile.
// Retirement is the exclusive holder: it sets the flag (compare-and-swap 0 to 1), waits until the
// count drains to 0, erases a handle from every clock, and clears the flag. Both sides use
// sequentially consistent operations, so an inserter either sees the flag or is counted before
// retirement reads the count. While the gate is closed no clock gains an entry, so a handle that
// has been erased everywhere cannot come back and a task that later receives the same handle
// inherits no ordering.
// Lock order: the gate comes before the runtime lock; no thread enters the gate while it holds
// the runtime lock, and no shared holder enters it a second time.
struct clock_gate_t {
    std::uint8_t flag = 0;
    std::uint16_t inserters = 0;

    void enter_shared() noexcept;
    void leave_shared() noexcept;
    void close() noexcept;
    void open() noexcept;

    // Runs `erase_from_every_clock(handle)` with the gate closed; the walk over the task table and
    // the sync tables belongs to the caller.
    template <class Walk>
    void retire_handle(std::uint16_t handle, Walk&& erase_from_every_clock) noexcept {
        close();
        erase_from_every_clock(handle);
        open();
    }
};

// The process-wide gate of all clocks.
extern clock_gate_t clock_gate;

class shared_gate_guard_t {
public:
    explicit shared_gate_guard_t(clock_gate_t& gate) noexcept : gate_(gate) { gate_.enter_shared(); }
    ~shared_gate_guard_t() { gate_.leave_shared(); }
    shared_gate_guard_t(const shared_gate_guard_t&) = delete;
    shared_gate_guard_t& operator=(const shared_gate_guard_t&) = delete;

private:
    clock_gate_t& gate_;
};

}  // namespace tavo
