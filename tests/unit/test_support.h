// Unit-test support: plays the debugger, keeping every error and detection the library reports,
// starts threads together, and makes tasks by hand. Include from one file per test executable.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/errors.h"
#include "runtime/runtime.h"
#include "task/task_context.h"
#include "task/task_table.h"
#include "task/thread_record.h"
#include "tavo/tavo.h"
#include "tsm/access_record.h"

namespace test {

using task_list_t = std::vector<std::pair<std::uint32_t, std::uint64_t>>;

// A stop as the debugger copies it: the detection's lists live only while the stop lasts.
struct stop_t {
    std::int32_t reason;
    std::uint64_t site;
    tavo_access_t offending{};
    std::vector<tavo_access_t> offended{};
    task_list_t tasks{};  // the offenses of a reentrant call
};
inline std::mutex stops_mutex;
inline std::vector<stop_t> stops;

inline std::vector<stop_t> take_stops() {
    std::lock_guard<std::mutex> guard(stops_mutex);
    return std::exchange(stops, {});
}
inline std::vector<std::int32_t> stop_reasons() {
    std::vector<std::int32_t> reasons;
    for (const stop_t& stop : stops) reasons.push_back(stop.reason);
    return reasons;
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

// A task made by hand for the detector's tests: registered, with a handle, its accesses going
// straight to the detector.
class task_t {
public:
    task_t(std::int32_t type, std::uint64_t id)
        : handle(tavo::allocate_task_handle()), context(*tavo::new_task_context(type, id, handle, nullptr)) {
        tavo::register_task(handle, &context);
    }
    ~task_t() {
        tavo::runtime.tsm.forget_task(context);
        tavo::unregister_task(handle);
        tavo::free_task_handle(handle);
        tavo::delete_task_context(&context);
    }
    void access(std::uint32_t type, std::uint64_t address, std::uint32_t size, std::uint64_t site = 0x500) {
        tavo::runtime.tsm.check_access(context, address, size, type, site);
    }
    // Whether this task has a record of type `type` in the granule.
    bool recorded(std::uint32_t type, std::uint64_t granule) {
        tavo::shadow_cell_t* cell = tavo::runtime.tsm.table.find_or_create(granule).cell;
        const std::uint64_t entry = tavo::own_entry(*cell, handle);
        if (tavo::is_inline(entry)) return tavo::inline_type(entry) == type;
        bool found = false;
        if (entry != 0)
            tavo::each_record(entry, [&](tavo::access_record_t& record) { found |= tavo::key_type(record.key) == type; });
        return found;
    }
    void knows(const task_t& other, std::uint64_t time) { context.clock.raise_to(other.handle, time, tavo::runtime.arena); }

    std::uint16_t handle;
    tavo::task_context_t& context;
};

}  // namespace test

// A test that plays the debugger differently defines TAVO_TEST_OWN_DEBUGGER_STOP before including.
#ifndef TAVO_TEST_OWN_DEBUGGER_STOP
extern "C" void __tavo_switch_to_debugger(void) {
    const std::int32_t reason = __tavo_event_reason;
    if (reason >= 0 && reason < TAVO_EVENT_DATA_SHARING) return;  // load, unload and configuration events
    const tavo_detection_t& detection = __tavo_current_detection;
    test::stop_t stop{reason, detection.site};
    if (reason == TAVO_EVENT_DATA_SHARING) {
        stop.offending = detection.sharing.offending;
        if (detection.sharing.offended != nullptr)
            stop.offended.assign(detection.sharing.offended, detection.sharing.offended + detection.sharing.offended_count);
    } else if (reason == TAVO_EVENT_REENTRANT_CALL) {
        for (std::uint64_t index = 0; index < detection.reentrancy.offense_count; ++index) {
            const tavo_offense_t& offense = detection.reentrancy.offenses[index];
            EXPECT_EQ(offense.padding, 0u);
            stop.tasks.emplace_back(offense.task_type, offense.task_id);
        }
    }
    std::lock_guard<std::mutex> guard(test::stops_mutex);
    test::stops.push_back(std::move(stop));
}
#endif
