// Plays the debugger for a unit test: the library's stop lands here, and errors are recorded.
// Include from exactly one file of a test executable.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "tavo/tavo.h"
#include "task/thread_record.h"

namespace test {

struct raised_error_t {
    std::int32_t code;
    std::uint64_t site;
    bool operator==(const raised_error_t&) const = default;
};

inline std::mutex raised_mutex;
inline std::vector<raised_error_t> raised;

// The errors raised since the last call; load and unload events are not errors.
inline std::vector<raised_error_t> take_raised_errors() {
    std::lock_guard<std::mutex> guard(raised_mutex);
    return std::exchange(raised, {});
}

// Makes `site` the calling thread's last call site, which errors raised at the thread's site report.
inline void set_thread_site(std::uint64_t site) { tavo::obtain_thread_record()->last_site = site; }

}  // namespace test

extern "C" void __tavo_switch_to_debugger(void) {
    if (__tavo_event_reason >= 0) return;
    std::lock_guard<std::mutex> guard(test::raised_mutex);
    test::raised.push_back({__tavo_event_reason, __tavo_current_detection.site});
}
