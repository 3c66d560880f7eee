// A lock-free map from task handle to a 64-bit value, in chained buckets of eight slots. Vector
// clocks, the task handle table and the shadow cells are instances of it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace tavo {

class arena_t;

constexpr unsigned bucket_slots = 8;

struct handle_bucket_t {
    std::uint16_t keys[bucket_slots];   // 0: free slot
    std::uint16_t pins[bucket_slots];   // readers holding the slot; bit 15 while it is erased
    std::uint64_t values[bucket_slots]; // 0: being filled or being erased
    handle_bucket_t* next;
};
static_assert(sizeof(handle_bucket_t) == 104);

// Atomic maximum: concurrent raises and readers are allowed, the largest value wins.
inline void raise_value(std::uint64_t& word, std::uint64_t to) noexcept {
    std::atomic_ref<std::uint64_t> value(word);
    std::uint64_t seen = value.load();
    while (seen < to && !value.compare_exchange_weak(seen, to)) {}
}

// One slot of a map, held by one pin: the slot cannot be erased until the pin is released, which
// the destructor does.
class pinned_slot_t {
public:
    pinned_slot_t() noexcept = default;
    pinned_slot_t(pinned_slot_t&& other) noexcept
        : bucket_(std::exchange(other.bucket_, nullptr)), slot_(other.slot_), handle_(other.handle_) {}
    pinned_slot_t& operator=(pinned_slot_t&& other) noexcept {
        if (this != &other) {
            release();
            bucket_ = std::exchange(other.bucket_, nullptr);
            slot_ = other.slot_;
            handle_ = other.handle_;
        }
        return *this;
    }
    ~pinned_slot_t() { release(); }

    explicit operator bool() const noexcept { return bucket_ != nullptr; }
    // Handle, value and raise need a non-empty slot.
    std::uint16_t handle() const noexcept { return handle_; }
    std::uint64_t value() const noexcept { return std::atomic_ref<std::uint64_t>(bucket_->values[slot_]).load(); }
    void raise(std::uint64_t to) noexcept { raise_value(bucket_->values[slot_], to); }
    void release() noexcept {
        if (bucket_ != nullptr) std::atomic_ref<std::uint16_t>(bucket_->pins[slot_]).fetch_sub(1);
        bucket_ = nullptr;
    }

private:
    friend struct handle_map_t;
    pinned_slot_t(handle_bucket_t* bucket, unsigned slot, std::uint16_t handle) noexcept
        : bucket_(bucket), slot_(slot), handle_(handle) {}

    handle_bucket_t* bucket_ = nullptr;
    unsigned slot_ = 0;
    std::uint16_t handle_ = 0;
};

enum class insert_status_t : std::uint8_t {
    inserted,         // the entry is new
    already_present,  // another inserter came first: `existing` holds its entry, pinned
    failed,           // no bucket could be had (-9998 reported) or a zero handle or value (-9999)
};

struct insert_result_t {
    insert_status_t status;
    pinned_slot_t existing;
};

// Protocol. The map's owner embeds the head bucket; further buckets come zero-filled from an
// arena, are linked under the head's append lock by one pointer store, and are never unlinked.
// - A slot is claimed by a compare-and-swap of its key from 0; the value is stored after the key,
//   then the count goes up. A slot is erased by setting pin bit 15, waiting until the pin is
//   exactly 0x8000 (no reader left), clearing the value, counting down, clearing bit 15, and
//   finally clearing the key, which frees the slot.
// - A reader first pins a slot (atomic increment) and then re-reads key and value; it uses the
//   slot only if the pin had bit 15 clear and key and value are both non-zero, and otherwise
//   unpins at once. So a slot being filled or erased reads as absent, and a used slot keeps its
//   key and value (values only grow, by raise) until its last pin is gone.
// - Keys, pins and values are sequentially consistent atomics.
// Invariants: at most one live entry per handle, provided inserts of one handle are serialised
// (the insert lock, for clocks) or the handle has one inserter (task table, shadow cells), and
// provided a handle is never erased while it is being inserted. Iteration runs bucket by bucket
// from the head, slots 0 to 7. At most 32,767 pins per slot at once.
//
// The last head field is the clocks' insert lock; the shadow cells keep their flags word there.
struct handle_map_t {
    static constexpr std::uint16_t erasing = 0x8000;

    handle_bucket_t head{};
    std::uint8_t append_lock = 0;
    std::uint16_t count = 0;
    union {
        std::uint32_t flags = 0;
        std::uint8_t insert_lock;
    };

    // The live entry of `handle`, pinned, or an empty slot.
    pinned_slot_t find(std::uint16_t handle) noexcept;

    // Under the insert lock: the existing entry of `handle` if there is one, otherwise a new entry
    // (handle, value). A failure is reported and returns `failed`: the map is unchanged and the
    // caller gives the insertion up.
    insert_result_t insert(std::uint16_t handle, std::uint64_t value, arena_t& bucket_arena) noexcept;

    // Inserts without the insert lock and without looking for an existing entry, for maps whose
    // handles each have a single inserter. False after reporting a failure.
    bool claim(std::uint16_t handle, std::uint64_t value, arena_t& bucket_arena) noexcept;
    // The same without reporting: on failure `error_code` receives the arena's code, for a caller
    // that must report it later, once it holds nothing that a report could wait for.
    bool claim_unreported(std::uint16_t handle, std::uint64_t value, arena_t& bucket_arena,
                          std::int32_t& error_code) noexcept;

    // Removes the entry of `handle`, waiting for its readers to leave, so the caller must not hold
    // a pin on it. False when there was none.
    bool erase(std::uint16_t handle) noexcept;

    // Calls `visit(pinned_slot_t&)` for each live entry, pinned during the call. A visitor that
    // returns bool stops the iteration by returning false.
    template <class Visit>
    void for_each_live(Visit&& visit) noexcept {
        for (handle_bucket_t* bucket = &head; bucket != nullptr; bucket = next_of(*bucket)) {
            for (unsigned slot = 0; slot < bucket_slots; ++slot) {
                if (std::atomic_ref<std::uint16_t>(bucket->keys[slot]).load() == 0) continue;
                pinned_slot_t entry = pin_if_live(*bucket, slot);
                if (!entry) continue;
                if constexpr (std::is_same_v<std::invoke_result_t<Visit&, pinned_slot_t&>, bool>) {
                    if (!visit(entry)) return;
                } else {
                    visit(entry);
                }
            }
        }
    }

    std::uint16_t entry_count() const noexcept {
        return std::atomic_ref<std::uint16_t>(const_cast<std::uint16_t&>(count)).load();
    }
    std::size_t bucket_count() const noexcept;

private:
    static handle_bucket_t* next_of(handle_bucket_t& bucket) noexcept {
        return std::atomic_ref<handle_bucket_t*>(bucket.next).load();
    }
    static pinned_slot_t pin_if_live(handle_bucket_t& bucket, unsigned slot) noexcept {
        std::atomic_ref<std::uint16_t> pin(bucket.pins[slot]);
        if (pin.load() & erasing) return {};
        const std::uint16_t before = pin.fetch_add(1);
        const std::uint16_t key = std::atomic_ref<std::uint16_t>(bucket.keys[slot]).load();
        const std::uint64_t value = std::atomic_ref<std::uint64_t>(bucket.values[slot]).load();
        if ((before & erasing) == 0 && key != 0 && value != 0) return pinned_slot_t(&bucket, slot, key);
        pin.fetch_sub(1);
        return {};
    }
};

static_assert(std::is_standard_layout_v<handle_map_t>);
static_assert(offsetof(handle_map_t, append_lock) == 104);
static_assert(offsetof(handle_map_t, count) == 106);
static_assert(offsetof(handle_map_t, flags) == 108 && offsetof(handle_map_t, insert_lock) == 108);
static_assert(sizeof(handle_map_t) == 112);

}  // namespace tavo
