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

#include <cstddef>
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

// Whether the configuration block has no request pending and, of the flags in `diverting`, the
// detector's alone. The debugger writes the two words apart, at any stop: both are read on every
// access. On x86-64 one load reads both; each half is read whole, as the load stays within one
// cache line (the block is aligned to 16 bytes).
[[gnu::always_inline]] inline bool quick_config_holds(std::uint32_t diverting) noexcept {
    const tavo_config_t& config = quick_config();
#if defined(__x86_64__)
    static_assert(offsetof(tavo_config_t, flags) == offsetof(tavo_config_t, request) + 4);
    struct pair_t {
        std::uint32_t request, flags;
    };
    std::uint64_t words;
    asm volatile("movq %1, %0" : "=r"(words) : "m"(*reinterpret_cast<const pair_t*>(&config.request)));
    return ((words ^ std::uint64_t{TAVO_FLAG_TSM} << 32) & (std::uint64_t{diverting} << 32 | 0xFFFFFFFFu)) == 0;
#else
    return load_word(config.request) == 0 && (load_word(config.flags) & diverting) == TAVO_FLAG_TSM;
#endif
}

// type: access_type::read, write or update; any size, 0 included.
[[gnu::always_inline]] inline plain_rest_t plain_access_quick(const void* address, std::uint32_t size, std::uint32_t type,
                                                              std::uint64_t site) noexcept {
    constexpr plain_rest_t done{nullptr, granule_rest_t::done}, whole_way{nullptr, granule_rest_t::check};
    // The flags that send it the whole way, and the detector's, which it takes.
    constexpr std::uint32_t common = TAVO_FLAG_ALWAYS_CONCURRENT | TAVO_FLAG_TSM;
    const std::uint32_t diverting = type == access_type::read ? common | TAVO_FLAG_IGNORE_READS : common;
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    // Size 0 wraps round and goes the whole way too.
    if ((at & 7) + size - 1 >= 8 || !quick_config_holds(diverting)) [[unlikely]]
        return whole_way;
    const std::uint32_t off = quick_off_bits();
    if ((off & (quick_off::reasons | quick_off::reads_off << type)) != 0) [[unlikely]] {
        if ((off & quick_off::reasons) != 0) return whole_way;
        return done;
    }
#ifdef _WIN32
    thread_record_t* record = obtain_thread_record();  // not in the thread's words there
    if (record == nullptr) return done;
    task_context_t* task = record->current_task;
    if (task == nullptr) return done;
#else
    // No test of the key: its end is one of the quick-off reasons. A thread without a task, its
    // first access among them, takes the whole way, which makes its record or finds no task.
    thread_record_t* record = &thread_words.record;
    task_context_t* task = record->current_task;
    if (task == nullptr) [[unlikely]] return whole_way;
#endif
    record->last_site = site;
    return {task, runtime.tsm.quick_granule(*task, at, size, type, true)};
}

// The call site of an access whose quick part left the rest for a task: it stored it in the
// thread's record, where the rest finds it without carrying it over.
inline std::uint64_t quick_part_site() noexcept {
#ifdef _WIN32
    return obtain_thread_record()->last_site;
#else
    return thread_words.record.last_site;
#endif
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
