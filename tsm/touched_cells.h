// A task's touched-cell list, and the busy flag that keeps the detector's reset away from a task
// while it uses shadow memory.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "tsm/shadow_table.h"

namespace tavo {

struct touched_node_t {
    touched_node_t* next;
    shadow_cell_t* cell;
};

namespace table_state {
constexpr std::uint32_t open = 0;
constexpr std::uint32_t resetting = 1;
constexpr std::uint32_t closed = 2;  // the detector is gone
}  // namespace table_state

// The cells in which a task holds an entry, newest first, in nodes from the task's arena; the task
// context provides the head word.
//
// Bit 0 of the head word is the task's busy flag, the other bits point to the newest node (nodes
// are 8-aligned). Protocol between the task's thread and a reset of the detector:
// - To use shadow memory the task sets the flag by compare-and-swap and then reads the table state.
//   It goes on only if the state is open, and clears the flag when it is done. Finding a reset, it
//   clears the flag again and waits for the state to open.
// - A reset stores the resetting state and then, for every live task, waits until the flag is
//   clear and empties the list. Only then does it free the table, and then it opens the state.
// Both sides are sequentially consistent, so either the task sees the reset or the reset sees the
// flag: no cell is freed under a task that is recording, checking or removing its entries, and no
// shared counter is written on the way. Only the busy task itself pushes nodes. A reset changes
// the word only by compare-and-swap while the flag is clear, and a task backing off changes only
// the flag, so neither loses the other's change.
// A busy task never waits for the runtime lock: it leaves the busy section before it raises or
// reports. The reset runs under that lock, so it never waits for a thread that waits for it, nor
// for its own thread.
class touched_list_t {
public:
    explicit touched_list_t(void*& head_word) noexcept : head_(head_word) {}

    touched_node_t* newest() const noexcept { return untagged(head_.load(std::memory_order_acquire)); }

    // By the task itself, while busy.
    void push(touched_node_t* node, shadow_cell_t* cell) noexcept {
        void* word = head_.load(std::memory_order_relaxed);
        node->next = untagged(word);
        node->cell = cell;
        head_.store(tagged(node, busy(word)), std::memory_order_release);
    }
    void empty_while_busy() noexcept { head_.store(tagged(nullptr, true), std::memory_order_release); }

    // By a reset, which waits for the task to be idle.
    void empty_once_idle() noexcept {
        void* word = head_.load();
        for (unsigned spins = 0;; ++spins) {
            if (!busy(word) && head_.compare_exchange_weak(word, nullptr)) return;
            if (busy(word)) {
                if ((spins & 1023) == 1023) platform::yield_thread();
                else platform::cpu_pause();
                word = head_.load();
            }
        }
    }

    // The task's side of the protocol; false when the detector is gone.
    bool enter_busy(const std::atomic<std::uint32_t>& state) noexcept {
        for (;;) {
            set_flag(true);
            const std::uint32_t seen = state.load();
            if (seen == table_state::open) return true;
            set_flag(false);
            if (seen == table_state::closed) return false;
            for (unsigned spins = 0; state.load() == table_state::resetting; ++spins) {
                if ((spins & 1023) == 1023) platform::yield_thread();
                else platform::cpu_pause();
            }
        }
    }
    // No reset changes the word while the flag is set.
    void leave_busy() noexcept {
        head_.store(untagged(head_.load(std::memory_order_relaxed)), std::memory_order_release);
    }

private:
    static bool busy(void* word) noexcept { return (reinterpret_cast<std::uintptr_t>(word) & 1) != 0; }
    static touched_node_t* untagged(void* word) noexcept {
        return reinterpret_cast<touched_node_t*>(reinterpret_cast<std::uintptr_t>(word) & ~std::uintptr_t{1});
    }
    static void* tagged(touched_node_t* node, bool flag) noexcept {
        return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(node) | (flag ? 1 : 0));
    }
    void set_flag(bool flag) noexcept {
        void* word = head_.load(std::memory_order_relaxed);
        while (!head_.compare_exchange_weak(word, tagged(untagged(word), flag))) {}
    }

    std::atomic_ref<void*> head_;
};

// A stretch of work on shadow memory on behalf of one task; see touched_list_t.
class busy_section_t {
public:
    busy_section_t(touched_list_t list, const std::atomic<std::uint32_t>& state) noexcept
        : list_(list), state_(state), busy_(list_.enter_busy(state_)) {}
    ~busy_section_t() { leave(); }
    busy_section_t(const busy_section_t&) = delete;
    busy_section_t& operator=(const busy_section_t&) = delete;

    explicit operator bool() const noexcept { return busy_; }
    touched_list_t& list() noexcept { return list_; }

    void leave() noexcept {
        if (busy_) list_.leave_busy();
        busy_ = false;
    }
    // After a raise or a report: the table may have been reset meanwhile.
    bool reenter() noexcept {
        if (!busy_) busy_ = list_.enter_busy(state_);
        return busy_;
    }

private:
    touched_list_t list_;
    const std::atomic<std::uint32_t>& state_;
    bool busy_;
};

}  // namespace tavo
