// What the detector keeps per task: its touched-cell list, the busy flag that keeps the detector's
// reset away from the task while it uses shadow memory, and a cache of the granules it recorded in.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "platform/platform.h"
#include "tsm/arena.h"
#include "tsm/shadow_table.h"

namespace tavo {

// The granules from `first` to `last`, both included (the last granule of the address space has no
// end address).
struct touched_range_t {
    std::uint64_t first;
    std::uint64_t last;
};
constexpr unsigned touched_chunk_ranges = 15;
struct touched_chunk_t {
    touched_chunk_t* next;  // the older chunk
    std::uint32_t used;
    touched_range_t ranges[touched_chunk_ranges];
};
static_assert(sizeof(touched_chunk_t) == 256);

// The task's entry in a granule's cell, as the task last found it.
struct cached_granule_t {
    std::uint64_t granule;  // no_granule when empty
    shadow_cell_t* cell;
    shadow_slot_t* slot;    // the task's own
    // The index of the record the task last found or made in its newest block there, where the
    // recording looks first.
    std::uint32_t hint = 0;
};
constexpr std::uint64_t no_granule = ~std::uint64_t{0};  // never 8-aligned
constexpr unsigned granule_cache_size = 32;
constexpr std::uint32_t no_site_index = ~std::uint32_t{0};  // beyond every interned index

// Memory the task had for an entry it erased, kept for its next ones.
struct spare_t {
    spare_t* next;
};
// How far the task's record memory from its arena may grow before the task sweeps its forgotten
// entries again: at least this much, and this much per granule the last sweep kept (tsm.cpp).
constexpr std::size_t sweep_floor = std::size_t{1} << 18;
constexpr std::size_t sweep_bytes_per_granule = 16;

// A call site and history the task interned, and its index.
struct cached_site_t {
    std::uint64_t site;
    std::uint32_t history;
    std::uint32_t index;  // no_site_index when empty
};
// 16 entries, as loops unrolled by the compiler have several sites; indexed by the low bits, in
// which the call sites of one loop, a few bytes apart, differ.
constexpr unsigned site_cache_shift = 4;

// In the task's arena. The list head and the flag follow the protocol of touched_list_t. The cache
// (direct-mapped by granule) and the leaf hint (the leaf table the task last descended to) are
// read and written only by the task while busy, and emptied by a reset while the task is idle, by
// the task's sweep and by its end: cells and leaf tables stay where they are until a reset or the
// end, and the task's slots until one of the three. The call sites the task interned (cached by the
// task only, hashed) outlive resets, as indexes do; the bucket chunk does not, as its arena is
// rewound.
struct task_shadow_t {
    void* head = nullptr;
    void* busy = nullptr;
    std::uint64_t hinted_span = no_granule;
    leaf_table_t* hinted_leaves = nullptr;
    cached_granule_t cache[granule_cache_size];
    cached_site_t sites[1u << site_cache_shift];
    // Record blocks (by class) and touched chunks of erased entries; the bytes of blocks the task
    // holds, and those it took from its arena. Task only, while busy.
    spare_t* spare_blocks[block_class_count] = {};
    spare_t* spare_chunks = nullptr;
    std::size_t live_bytes = 0;
    std::size_t arena_bytes = 0;
    std::size_t sweep_at = sweep_floor;
    // The task's time when it last recorded: no record of the task is newer. Task only.
    std::uint64_t newest_time = 0;
    bucket_chunk_t buckets;

    task_shadow_t() noexcept {
        forget_cached();
        for (cached_site_t& entry : sites) entry = {0, 0, no_site_index};
    }
    cached_site_t& site_of(std::uint64_t site, std::uint32_t history) noexcept {
        return sites[(site ^ history) & ((1u << site_cache_shift) - 1)];
    }
    // The index of (site, history) when the task has it cached, else no_site_index.
    std::uint32_t cached_site(std::uint64_t site, std::uint32_t history) noexcept {
        const cached_site_t& cached = site_of(site, history);
        return cached.site == site && cached.history == history ? cached.index : no_site_index;
    }
    cached_granule_t& slot_of(std::uint64_t granule) noexcept {
        // The entry's byte offset straight from the granule's low bits: one mask and one scale.
        constexpr std::uint64_t offsets = (granule_cache_size - 1) << granule_shift;
        static_assert(sizeof(cached_granule_t) % (1u << granule_shift) == 0);
        return *reinterpret_cast<cached_granule_t*>(reinterpret_cast<char*>(cache) + (granule & offsets) * (sizeof(cached_granule_t) >> granule_shift));
    }
    // A block no reader can reach any more, for the task's next ones; task only, while busy.
    void keep_block(record_block_t* block) noexcept {
        const unsigned size_class = block->size_class;
        spare_blocks[size_class] = new (block) spare_t{spare_blocks[size_class]};
        live_bytes -= block_bytes(size_class);
    }
    void forget_cached() noexcept {
        hinted_span = no_granule;
        for (cached_granule_t& entry : cache) entry.granule = no_granule;
    }
};

namespace table_state {
constexpr std::uint32_t open = 0;
constexpr std::uint32_t resetting = 1;
constexpr std::uint32_t closed = 2;  // the detector is gone
}  // namespace table_state

// The gate every use of shadow memory passes: the table state, written only by resets and the
// detector's end, and whether the process has an asymmetric fence.
struct table_gate_t {
    std::atomic<std::uint32_t> state{table_state::open};
    const bool asymmetric = platform::heavy_fence_ready();
};

// The granules whose cells hold an entry of the task, as ranges in chunks from the task's arena,
// newest chunk first, and the task's busy flag. A task streaming through memory extends one range.
//
// Protocol between the task's thread and a reset of the detector, a store-then-load handshake on
// each side with no read-modify-write on the task's:
// - To use shadow memory the task stores its flag set, then reads the table state (acquire) past a
//   compiler barrier only, or a full fence where the process has no asymmetric fence. It goes on
//   only if the state is open, and stores the flag clear (release) when it is done. Finding a
//   reset, it clears the flag again and waits for the state to open.
// - A reset stores the resetting state, then runs the heavy fence, which puts a full barrier in
//   every thread, and then, for every live task, waits until the flag reads clear (acquire) and
//   empties the list. Only then does it free the table, and then it opens the state (release).
// Whichever side's barrier comes first, either the task's state load follows the reset's store and
// sees it, or the reset's flag load follows the task's store and sees it: no cell is freed under a
// task that is recording, checking or removing its entries, and no shared word is written on the
// way. The flag has one writer, the task. The head and the chunks are written by the task only
// while busy, and the head by a reset only while the task is idle and cannot enter before the
// state opens.
// A busy task never waits for the runtime lock: it leaves the busy section before it raises or
// reports. The reset runs under that lock, so it never waits for a thread that waits for it, nor
// for its own thread.
class touched_list_t {
public:
    explicit touched_list_t(task_shadow_t& shadow) noexcept : shadow_(shadow), head_(shadow.head), busy_(shadow.busy) {}

    task_shadow_t& shadow() noexcept { return shadow_; }

    touched_chunk_t* newest() const noexcept { return static_cast<touched_chunk_t*>(head_.load(std::memory_order_acquire)); }

    // By the task itself, while busy, before it enters the granule's cell, which it has no entry in.
    // False when no chunk could be had: `error_code` tells why.
    bool note(std::uint64_t granule, arena_t& arena, std::int32_t& error_code) noexcept {
        touched_chunk_t* chunk = newest();
        if (chunk != nullptr) {
            touched_range_t& range = chunk->ranges[chunk->used - 1];
            if (granule == range.last + 8 && granule != 0) {
                range.last = granule;
                return true;
            }
            if (granule + 8 == range.first && range.first != 0) {
                range.first = granule;
                return true;
            }
            if (chunk->used < touched_chunk_ranges) {
                chunk->ranges[chunk->used++] = {granule, granule};
                return true;
            }
        }
        void* memory = shadow_.spare_chunks;
        if (memory != nullptr) shadow_.spare_chunks = shadow_.spare_chunks->next;
        else memory = arena.allocate_unreported(sizeof(touched_chunk_t), error_code);
        if (memory == nullptr) return false;
        head_.store(new (memory) touched_chunk_t{chunk, 1, {{granule, granule}}}, std::memory_order_release);
        return true;
    }

    // visit(granule) for every granule noted, by the task while busy.
    template <class Visit>
    void for_each_granule(Visit&& visit) const noexcept {
        for (const touched_chunk_t* chunk = newest(); chunk != nullptr; chunk = chunk->next) {
            for (unsigned index = 0; index < chunk->used; ++index) {
                for (std::uint64_t granule = chunk->ranges[index].first;; granule += 8) {
                    visit(granule);
                    if (granule == chunk->ranges[index].last) break;
                }
            }
        }
    }
    // Takes the chunks out, for the task to note again the granules it keeps an entry in; by the
    // task while busy. `spare` keeps a chunk taken out once the task is done with it.
    touched_chunk_t* take_out() noexcept {
        touched_chunk_t* chunk = newest();
        head_.store(nullptr, std::memory_order_relaxed);
        return chunk;
    }
    void spare(touched_chunk_t* chunk) noexcept { shadow_.spare_chunks = new (chunk) spare_t{shadow_.spare_chunks}; }
    // Puts a chain taken out back behind the chunks noted since.
    void put_back(touched_chunk_t* chain) noexcept {
        touched_chunk_t* oldest = newest();
        if (oldest == nullptr) return head_.store(chain, std::memory_order_release);
        while (oldest->next != nullptr) oldest = oldest->next;
        oldest->next = chain;
    }
    void empty_while_busy() noexcept {
        head_.store(nullptr, std::memory_order_release);
        shadow_.forget_cached();
    }

    // By a reset that has stored the resetting state and run the heavy fence.
    void empty_once_idle() noexcept {
        for (unsigned spins = 0; busy_.load(std::memory_order_acquire) != nullptr; ++spins) {
            if ((spins & 1023) == 1023) platform::yield_thread();
            else platform::cpu_pause();
        }
        head_.store(nullptr, std::memory_order_relaxed);
        shadow_.forget_cached();
        shadow_.buckets = {};
    }

    // The task's side of the protocol; false when the detector is gone.
    bool enter_busy(const table_gate_t& gate) noexcept {
        return try_enter_busy(gate, gate.asymmetric) || enter_busy_after_reset(gate);
    }
    // The same without waiting: false, the flag set, when the state is not open. `asymmetric` is
    // the gate's, which the caller may hold already.
    bool try_enter_busy(const table_gate_t& gate, bool asymmetric) noexcept {
        busy_.store(&shadow_, std::memory_order_relaxed);  // any non-null word
        if (!asymmetric) [[unlikely]] std::atomic_thread_fence(std::memory_order_seq_cst);
        else std::atomic_signal_fence(std::memory_order_seq_cst);
        return gate.state.load(std::memory_order_acquire) == table_state::open;
    }
    // The same once the state was not open: waits for a reset to end.
    [[gnu::noinline]] bool enter_busy_after_reset(const table_gate_t& gate) noexcept {
        for (;;) {
            leave_busy();
            if (gate.state.load(std::memory_order_acquire) == table_state::closed) return false;
            for (unsigned spins = 0; gate.state.load(std::memory_order_acquire) == table_state::resetting; ++spins) {
                if ((spins & 1023) == 1023) platform::yield_thread();
                else platform::cpu_pause();
            }
            busy_.store(&shadow_, std::memory_order_relaxed);
            if (gate.asymmetric) std::atomic_signal_fence(std::memory_order_seq_cst);
            else std::atomic_thread_fence(std::memory_order_seq_cst);
            if (gate.state.load(std::memory_order_acquire) == table_state::open) return true;
        }
    }
    void leave_busy() noexcept { busy_.store(nullptr, std::memory_order_release); }

private:
    task_shadow_t& shadow_;
    std::atomic_ref<void*> head_;
    std::atomic_ref<void*> busy_;
};

// A stretch of work on shadow memory on behalf of one task; see touched_list_t.
class busy_section_t {
public:
    busy_section_t(touched_list_t list, const table_gate_t& gate) noexcept
        : list_(list), gate_(gate), busy_(list_.enter_busy(gate_)) {}
    // Takes over a list that its task made busy.
    struct entered_t {};
    busy_section_t(touched_list_t list, const table_gate_t& gate, entered_t) noexcept
        : list_(list), gate_(gate), busy_(true) {}
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
        if (!busy_) busy_ = list_.enter_busy(gate_);
        return busy_;
    }

private:
    touched_list_t list_;
    const table_gate_t& gate_;
    bool busy_;
};

}  // namespace tavo
