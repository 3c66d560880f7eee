// Unit-test support: plays the debugger, keeping the errors the library raises, and starts threads
// together. Include from one file per test executable.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
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
using raised_errors_t = std::vector<raised_error_t>;

inline std::mutex raised_mutex;
inline raised_errors_t raised;

inline raised_errors_t take_raised_errors() {
    std::lock_guard<std::mutex> guard(raised_mutex);
    return std::exchange(raised, {});
}

// Errors raised at the thread's site report the thread's last call site.
inline void set_thread_site(std::uint64_t site) { tavo::obtain_thread_record()->last_site = site; }

// Runs body(0) to body(threads - 1) on as many threads, released at once, and waits for them.
template <class Body>
void run_together(int threads, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < threads) {}
            body(t);
        });
    }
    for (auto& worker : workers) worker.join();
}

}  // namespace test

// A test that plays the debugger differently defines TAVO_TEST_OWN_DEBUGGER_STOP before including.
#ifndef TAVO_TEST_OWN_DEBUGGER_STOP
extern "C" void __tavo_switch_to_debugger(void) {
    if (__tavo_event_reason >= 0) return;  // load and unload events
    std::lock_guard<std::mutex> guard(test::raised_mutex);
    test::raised.push_back({__tavo_event_reason, __tavo_current_detection.site});
}
#endif
