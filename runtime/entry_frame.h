// The frame every gated entry runs before its operation.
#pragma once

#include "runtime/runtime.h"
#include "task/thread_record.h"

namespace tavo {

// Applies a pending configuration, tests the family's bits and obtains the thread's record
// (entering its initial task on the thread's first call). Null when the entry has nothing more
// to do. The common case is two loads and a test.
inline thread_record_t* enter_frame(std::uint32_t family_bits) noexcept {
    if (request_word() != 0) [[unlikely]] runtime.apply_pending_requests();
    if ((active_mask() & family_bits) == 0) return nullptr;
    return obtain_thread_record();
}

}  // namespace tavo
