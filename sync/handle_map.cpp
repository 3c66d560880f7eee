#include "sync/handle_map.h"

#include <new>

#include "platform/platform.h"
#include "runtime/errors.h"
#include "runtime/spin_lock.h"
#include "tsm/arena.h"

namespace tavo {

template <unsigned HeadSlots>
pinned_slot_t basic_handle_map_t<HeadSlots>::find(std::uint16_t handle) noexcept {
    // Every slot with the key is tried: while an earlier slot of the same handle is being erased, a
    // later one may already hold the live entry.
    pinned_slot_t found;
    each_slot([&](auto& bucket, unsigned slot) {
        if (std::atomic_ref<std::uint16_t>(bucket.keys[slot]).load() != handle) return false;
        pinned_slot_t entry = pin_if_live(bucket, slot);
        if (!entry || entry.handle() != handle) return false;
        found = std::move(entry);
        return true;
    });
    return found;
}

template <unsigned HeadSlots>
bool basic_handle_map_t<HeadSlots>::claim_unreported(std::uint16_t handle, std::uint64_t value, arena_t& bucket_arena,
                                                     std::int32_t& error_code) noexcept {
    for (;;) {
        handle_bucket_t** last_next = nullptr;  // the link after the last bucket seen
        const bool claimed = each_slot([&](auto& bucket, unsigned slot) {
            last_next = &bucket.next;
            std::atomic_ref<std::uint16_t> key(bucket.keys[slot]);
            std::uint16_t expected = 0;
            if (key.load() != 0 || !key.compare_exchange_strong(expected, handle)) return false;
            std::atomic_ref<std::uint64_t>(bucket.values[slot]).exchange(value);
            std::atomic_ref<std::uint16_t>(count).fetch_add(1);
            return true;
        });
        if (claimed) return true;
        spin_guard_t guard(append_lock);
        // Another claimer may have appended a bucket since this one was found full.
        if (std::atomic_ref<handle_bucket_t*>(*last_next).load() != nullptr) continue;
        void* memory = bucket_arena.allocate_unreported(sizeof(handle_bucket_t), error_code);
        if (memory == nullptr) return false;
        std::atomic_ref<handle_bucket_t*>(*last_next).store(new (memory) handle_bucket_t{});
    }
}

template <unsigned HeadSlots>
insert_result_t basic_handle_map_t<HeadSlots>::insert(std::uint16_t handle, std::uint64_t value,
                                                      arena_t& bucket_arena) noexcept {
    if (handle == 0 || value == 0) {
        TAVO_BUG();
        return {insert_status_t::failed, {}};
    }
    bool claimed = false;
    std::int32_t error_code = 0;
    {
        spin_guard_t guard(insert_lock);
        if (pinned_slot_t existing = find(handle)) return {insert_status_t::already_present, std::move(existing)};
        claimed = claim_unreported(handle, value, bucket_arena, error_code);
    }
    // Reported with no lock of the map held. Retrying here would hang the host on an exhausted
    // heap; the caller gives the insertion up instead.
    if (!claimed) {
        raise_system_error_at_thread_site(error_code);
        return {insert_status_t::failed, {}};
    }
    return {insert_status_t::inserted, {}};
}

template <unsigned HeadSlots>
bool basic_handle_map_t<HeadSlots>::claim(std::uint16_t handle, std::uint64_t value, arena_t& bucket_arena) noexcept {
    if (handle == 0 || value == 0) {
        TAVO_BUG();
        return false;
    }
    std::int32_t error_code = 0;
    if (claim_unreported(handle, value, bucket_arena, error_code)) return true;
    raise_system_error_at_thread_site(error_code);
    return false;
}

template <unsigned HeadSlots>
bool basic_handle_map_t<HeadSlots>::erase(std::uint16_t handle) noexcept {
    return each_slot([&](auto& bucket, unsigned slot) {
        std::atomic_ref<std::uint16_t> key(bucket.keys[slot]);
        if (key.load() != handle) return false;
        std::atomic_ref<std::uint16_t> pin(bucket.pins[slot]);
        // A slot whose bit 15 was already set belongs to another eraser, and counting it down
        // twice would corrupt the count; a slot freed and claimed by another handle before the
        // bit was set is not ours either.
        if (pin.fetch_or(erasing) & erasing) return false;
        if (key.load() != handle) {
            pin.fetch_and(static_cast<std::uint16_t>(~erasing));
            return false;
        }
        spin_until([&] { return pin.load() == erasing; });
        std::atomic_ref<std::uint64_t>(bucket.values[slot]).exchange(0);
        std::atomic_ref<std::uint16_t>(count).fetch_sub(1);
        pin.fetch_and(static_cast<std::uint16_t>(~erasing));
        key.store(0);
        return true;
    });
}

template <unsigned HeadSlots>
std::size_t basic_handle_map_t<HeadSlots>::bucket_count() const noexcept {
    std::size_t buckets = 1;
    auto& first = const_cast<basic_handle_bucket_t<HeadSlots>&>(head);
    for (handle_bucket_t* bucket = next_of(first); bucket != nullptr; bucket = next_of(*bucket)) ++buckets;
    return buckets;
}

template struct basic_handle_map_t<bucket_slots>;
template struct basic_handle_map_t<2>;

}  // namespace tavo
