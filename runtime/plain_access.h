// The common access, a plain read, write or update within one granule, with the gates of the
// layers it crosses (access_from, the entry frame, the memory check) tested in one place, so that
// the usual configuration costs a few loads before the detector's own cached check. Anything
// unusual (a pending request, a flag that changes the path, logging, a second granule) takes
// access_from, which tests them all again in their own order: nothing here has an effect before
// that choice is made.
#pragma once

#include <cstdint>

#include "runtime/log.h"
#include "runtime/runtime.h"
#include "runtime/site_entries.h"
#include "task/thread_record.h"
#include "tsm/access_record.h"
#include "tsm/granule_check.h"

namespace tavo {

// type: access_type::read, write or update; any size, 0 included.
[[gnu::always_inline]] inline void plain_access(const void* address, std::uint32_t size, std::uint32_t type, std::uint64_t site) noexcept {
    // Per type, one byte each: the families that check it.
    constexpr std::uint32_t families = TAVO_ACTIVE_READS | TAVO_ACTIVE_WRITES << 8 | (TAVO_ACTIVE_WRITES | TAVO_ACTIVE_READS) << 16;
    // The flags that send it the whole way, and the detector's, which it takes.
    constexpr std::uint32_t common = TAVO_FLAG_ALWAYS_CONCURRENT | TAVO_FLAG_TSM;
    const std::uint32_t diverting = type == access_type::read ? common | TAVO_FLAG_IGNORE_READS : common;
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    // Size 0 wraps round and goes the whole way too.
    if ((at & 7) + size - 1 >= 8 || request_word() != 0 || (flags_word() & diverting) != TAVO_FLAG_TSM ||
        logging(log_family::memory)) [[unlikely]]
        return access_from(address, size, type, site);
    if ((active_mask() & families >> 8 * type & 0xFF) == 0) return;
    thread_record_t* record = obtain_thread_record();
    if (record == nullptr || record->current_task == nullptr) return;
    record->last_site = site;
    runtime.tsm.check_granule(*record->current_task, at, size, type, site);
}

}  // namespace tavo
