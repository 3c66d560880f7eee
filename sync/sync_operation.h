#pragma once

#include <cstdint>

#include "sync/sync_object.h"

namespace tavo {

struct thread_record_t;

namespace memory_order {
constexpr std::uint32_t acquire = 2;
constexpr std::uint32_t release = 3;
constexpr std::uint32_t destroy = 16;
constexpr std::uint32_t weak_acquire = 32;
constexpr std::uint32_t weak_release = 33;
// Front ends only: an atomic store ends the release sequence of the object's earlier releases,
// so it forgets them; a releasing store then releases into the emptied object.
constexpr std::uint32_t store_release = 34;
constexpr std::uint32_t store_relaxed = 35;
// Front ends only: a read-modify-write that does not release, by a task that has issued a release
// fence. (A relaxed store is told by store_relaxed.)
constexpr std::uint32_t update_relaxed = 36;
}  // namespace memory_order

// Every synchronisation goes through here, the program's and the task model's alike. Runs the
// entry frame of the synchronisation family; ignored on a thread without a current task.
void sync_operation(sync_object_t object, std::uint32_t order, std::uint64_t site) noexcept;
// The same for the thread of `record`, whose frame the caller has run.
void sync_operation_on(thread_record_t& record, sync_object_t object, std::uint32_t order,
                       std::uint64_t site) noexcept;

// Fences, as C++ defines them. A release fence ticks the task's time and copies its clock into the
// task's fence clock; from then on every atomic store and read-modify-write of the task that does
// not release by itself releases the fence clock (a store still ends the release sequence first).
// An atomic read that does not acquire by itself notes the object's clock and its count of changes
// just after the read (note_read), in a ring of the task's last few; an acquire fence acquires
// every noted clock whose count has not moved since, and empties the ring. A moved count means the
// clock may hold releases the read did not see: that object is passed over, which can only lose an
// ordering, never make one up; so can a read that fell out of the ring. The window is the acquire's
// own: a release is recorded before its store, so a clock read after the load may hold a release
// whose store is still to come. A seq_cst fence acquires, then releases.
void fence_on(thread_record_t& record, bool acquires, bool releases, std::uint64_t site) noexcept;
void note_read(thread_record_t& record, sync_object_t object) noexcept;

}  // namespace tavo
