// Entries with an explicit call site, for front ends linked with the core that forward the
// program's own instruction address rather than their own return address.
#pragma once

#include <cstdint>

namespace tavo {

struct thread_record_t;

// type: 0 read, 1 write, 2 update, 3 atomic update, 4 atomic read (front ends only); the same
// gates and flags as the exports.
void access_from(const void* address, std::uint32_t size, std::uint32_t type, std::uint64_t site) noexcept;
// An atomic access of `type` 3 or 4 and, before the program's operation, its synchronisation
// `order` on the object at `address` (a memory order of sync_operation.h, 0 for none). For an
// operation that `reads`, the record to pass to `atomic_read` once the operation is done (null:
// nothing to do then), which makes the weak acquire, or notes the read for a later acquire fence,
// without running the frame again.
thread_record_t* atomic_from(const void* address, std::uint32_t size, std::uint32_t type, std::uint32_t order,
                             bool reads, std::uint64_t site) noexcept;
void atomic_read(thread_record_t& record, const void* address, bool acquires, std::uint64_t site) noexcept;
// An atomic thread fence (sync_operation.h).
void fence_from(bool acquires, bool releases, std::uint64_t site) noexcept;
void function_from(bool enters, const void* function, const void* frame, std::uint64_t site) noexcept;
// The program received a block of memory fresh or gave it back: its history is forgotten, and with
// `as_write` the release first counts as the calling task's write of the whole block. Not gated by
// the active mask: a block's history must go even while no access is being checked.
void memory_block_from(const void* address, std::uint64_t size, bool as_write, std::uint64_t site) noexcept;
void task_from(bool enters, std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept;

}  // namespace tavo
