// The common access, a plain read, write or update within one granule, with the gates of the
// layers it crosses (access_from, the entry frame, the memory check) tested in one place, so that
// the usual configuration costs a few loads before the detector's own cached check. Anything
// unusual (a pending request, a flag that changes the path, logging, a second granule) takes
// access_from, which tests them all again in their own order: nothing here has an effect before
// that choice is made.
//
// The access comes in two parts. The quick one makes no call, so that an entry which inlines it
// and finds a repeat needs no frame of its own; it leaves the rest to a call the entry makes last.
#pragma once

#include <cstdint>

#include "runtime/log.h"
#include "runtime/runtime.h"
#include "runtime/site_entries.h"
#include "task/thread_record.h"
#include "tsm/access_record.h"
#include "tsm/granule_check.h"

namespace tavo {

// What the quick part leaves to do: nothing (done), the whole way (no task), or the rest of the
// detector's check for `task`.
struct plain_rest_t {
    task_context_t* task;
    granule_rest_t rest;

    bool done() const noexcept { return rest == granule_rest_t::done; }
};

// type: access_type::read, write or update; any size, 0 included.
[[gnu::always_inline]] inline plain_rest_t plain_access_quick(const void* address, std::uint32_t size, std::uint32_t type,
                                                              std::uint64_t site) noexcept {
    constexpr plain_rest_t done{nullptr, granule_rest_t::done}, whole_way{nullptr, granule_rest_t::check};
    // Per type, one byte each: the families that check it.
    constexpr std::uint32_t families = TAVO_ACTIVE_READS | TAVO_ACTIVE_WRITES << 8 | (TAVO_ACTIVE_WRITES | TAVO_ACTIVE_READS) << 16;
    // The flags that send it the whole way, and the detector's, which it takes.
    constexpr std::uint32_t common = TAVO_FLAG_ALWAYS_CONCURRENT | TAVO_FLAG_TSM;
    const std::uint32_t diverting = type == access_type::read ? common | TAVO_FLAG_IGNORE_READS : common;
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    // Size 0 wraps round and goes the whole way too.
    const tavo_config_t& config = quick_config();
    if ((at & 7) + size - 1 >= 8 || quick_off_reasons() != 0 || load_word(config.request) != 0 ||
        (load_word(config.flags) & diverting) != TAVO_FLAG_TSM) [[unlikely]]
        return whole_way;
    if ((load_word(quick_guarded()) & families >> 8 * type & 0xFF) == 0) return done;
#ifdef _WIN32
    thread_record_t* record = obtain_thread_record();  // no thread-local mirror there
    if (record == nullptr) return done;
#else
    // No test of the key: its end is one of the quick-off reasons.
    thread_record_t* record = thread_words.keyed_record;
    if (record == nullptr) [[unlikely]] return whole_way;  // the thread's first access
#endif
    task_context_t* task = record->current_task;
    if (task == nullptr) return done;
    record->last_site = site;
    return {task, runtime.tsm.quick_granule(*task, at, size, type)};
}

// The rest the quick part left, for the same arguments.
inline void plain_access_rest(plain_rest_t rest, const void* address, std::uint32_t size, std::uint32_t type,
                              std::uint64_t site) noexcept {
    if (rest.done()) return;
    if (rest.task == nullptr) return access_from(address, size, type, site);
    runtime.tsm.finish_granule(rest.rest, *rest.task, reinterpret_cast<std::uintptr_t>(address), size, type, site);
}

[[gnu::always_inline]] inline void plain_access(const void* address, std::uint32_t size, std::uint32_t type, std::uint64_t site) noexcept {
    const plain_rest_t rest = plain_access_quick(address, size, type, site);
    if (!rest.done()) [[unlikely]] plain_access_rest(rest, address, size, type, site);
}

}  // namespace tavo
