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
}  // namespace memory_order

// Every synchronisation goes through here, the program's and the task model's alike. Runs the
// entry frame of the synchronisation family; ignored on a thread without a current task.
void sync_operation(sync_object_t object, std::uint32_t order, std::uint64_t site) noexcept;
// The same for the thread of `record`, whose frame the caller has run.
void sync_operation_on(thread_record_t& record, sync_object_t object, std::uint32_t order,
                       std::uint64_t site) noexcept;

}  // namespace tavo
