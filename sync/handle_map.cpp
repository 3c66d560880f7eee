#include "sync/handle_map.h"

#include <new>

#include "platform/platform.h"
#include "runtime/errors.h"
#include "runtime/spin_lock.h"
#include "tsm/arena.h"

namespace tavo {

pinned_slot_t handle_map_t::find(std::uint16_t handle) noexcept {
    // Every slot with the key is tried: while an earlier slot of the same handle is being erased, a
    // later one may already hold the live entry.
    for (handle_bucket_t* bucket = &head; bucket != nullptr; bucket = next_of(*bucket)) {
        for (unsigned slot = 0; slot < bucket_slots; ++slot) {
            if (std::atomic_ref<std::uint16_t>(bucket->keys[slot]).load() != handle) continue;
            pinned_slot_t entry = pin_if_live(*bucket, slot);
            if (entry && entry.handle() == handle) return entry;
        }
    }
    return {};
}

bool handle_map_t::claim_unreported(std::uint16_t handle, std::uint64_t value, arena_t& bucket_arena,
                                    std::int32_t& error_code) noexcept {
    handle_bucket_t* bucket = &head;
    for (;;) {
        for (unsigned slot = 0; slot < bucket_slots; ++slot) {
            std::atomic_ref<std::uint16_t> key(bucket->keys[slot]);
            std::uint16_t expected = 0;
            if (key.load() == 0 && key.compare_exchange_strong(expected, handle)) {
                std::atomic_ref<std::uint64_t>(bucket->values[slot]).exchange(value);
                std::atomic_ref<std::uint16_t>(count).fetch_add(1);
                return true;
            }
        }
        if (handle_bucket_t* next = next_of(*bucket)) {
            bucket = next;
            continue;
        }
        spin_guard_t guard(append_lock);
        handle_bucket_t* next = next_of(*bucket);
        if (next == nullptr) {
            void* memory = bucket_arena.allocate_unreported(sizeof(handle_bucket_t), error_code);
            if (memory == nullptr) return false;
            next = new (memory) handle_bucket_t{};
            std::atomic_ref<handle_bucket_t*>(bucket->next).store(next);
        }
        bucket = next;
    }
}

insert_result_t handle_map_t::insert(std::uint16_t handle, std::uint64_t value, arena_t& bucket_arena) noexcept {
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

bool handle_map_t::claim(std::uint16_t handle, std::uint64_t value, arena_t& bucket_arena) noexcept {
    if (handle == 0 || value == 0) {
        TAVO_BUG();
        return false;
    }
    std::int32_t error_code = 0;
    if (claim_unreported(handle, value, bucket_arena, error_code)) return true;
    raise_system_error_at_thread_site(error_code);
    return false;
}

bool handle_map_t::erase(std::uint16_t handle) noexcept {
    for (handle_bucket_t* bucket = &head; bucket != nullptr; bucket = next_of(*bucket)) {
        for (unsigned slot = 0; slot < bucket_slots; ++slot) {
            std::atomic_ref<std::uint16_t> key(bucket->keys[slot]);
            if (key.load() != handle) continue;
            std::atomic_ref<std::uint16_t> pin(bucket->pins[slot]);
            // A slot whose bit 15 was already set belongs to another eraser, and counting it down
            // twice would corrupt the count; a slot freed and claimed by another handle before the
            // bit was set is not ours either.
            if (pin.fetch_or(erasing) & erasing) continue;
            if (key.load() != handle) {
                pin.fetch_and(static_cast<std::uint16_t>(~erasing));
                continue;
            }
            spin_until([&] { return pin.load() == erasing; });
            std::atomic_ref<std::uint64_t>(bucket->values[slot]).exchange(0);
            std::atomic_ref<std::uint16_t>(count).fetch_sub(1);
            pin.fetch_and(static_cast<std::uint16_t>(~erasing));
            key.store(0);
            return true;
        }
    }
    return false;
}

std::size_t handle_map_t::bucket_count() const noexcept {
    std::size_t buckets = 0;
    for (auto* bucket = const_cast<handle_bucket_t*>(&head); bucket != nullptr; bucket = next_of(*bucket)) ++buckets;
    return buckets;
}

}  // namespace tavo
