// One-byte spin locks: 0 free, 1 held. Acquire compares-and-exchanges 0 to 1; release exchanges
// with 0. The byte lives in plain records, so it is reached through std::atomic_ref.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace tavo {

inline bool spin_try_acquire(std::uint8_t& byte) noexcept {
    std::uint8_t expected = 0;
    return std::atomic_ref<std::uint8_t>(byte).compare_exchange_strong(expected, 1, std::memory_order_acquire);
}

// Pausing, and yielding now and then, keeps a preempted holder from starving on a small machine.
template <class Done>
void spin_until(Done done) noexcept {
    for (unsigned spins = 0; !done(); ++spins) {
        if ((spins & 1023) == 1023) platform::yield_thread();
        else platform::cpu_pause();
    }
}

inline void spin_acquire(std::uint8_t& byte) noexcept {
    spin_until([&] { return spin_try_acquire(byte); });
}

inline void spin_release(std::uint8_t& byte) noexcept {
    std::atomic_ref<std::uint8_t>(byte).exchange(0, std::memory_order_release);
}

class spin_guard_t {
public:
    explicit spin_guard_t(std::uint8_t& byte) noexcept : byte_(byte) { spin_acquire(byte_); }
    ~spin_guard_t() { spin_release(byte_); }
    spin_guard_t(const spin_guard_t&) = delete;
    spin_guard_t& operator=(const spin_guard_t&) = delete;

private:
    std::uint8_t& byte_;
};

}  // namespace tavo
