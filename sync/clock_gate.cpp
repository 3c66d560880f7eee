#include "sync/clock_gate.h"

#include <atomic>

#include "platform/platform.h"
#include "runtime/spin_lock.h"

namespace tavo {

clock_gate_t clock_gate;

void clock_gate_t::enter_shared() noexcept {
    std::atomic_ref<std::uint8_t> closed(flag);
    std::atomic_ref<std::uint16_t> count(inserters);
    for (;;) {
        spin_until([&] { return closed.load() == 0; });
        count.fetch_add(1);
        if (closed.load() == 0) return;
        count.fetch_sub(1);
    }
}

void clock_gate_t::leave_shared() noexcept { std::atomic_ref<std::uint16_t>(inserters).fetch_sub(1); }

void clock_gate_t::close() noexcept {
    std::uint8_t& byte = flag;
    spin_until([&] {
        std::uint8_t expected = 0;
        return std::atomic_ref<std::uint8_t>(byte).compare_exchange_strong(expected, 1);
    });
    std::atomic_ref<std::uint16_t> count(inserters);
    spin_until([&] { return count.load() == 0; });
}

void clock_gate_t::open() noexcept { std::atomic_ref<std::uint8_t>(flag).store(0); }

}  // namespace tavo
