// The reentrant-call detector where the differential streams do not reach: a null function,
// heap exhaustion inside the re lock, and the structure under concurrent tasks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/errors.h"
#include "runtime/runtime.h"
#include "task/task_context.h"
#include "task/thread_record.h"

#include "allocation_failure.h"

namespace {

using tavo::call_entry_t;
using tavo::task_key_t;
using entries_t = std::vector<call_entry_t>;

// The task whose entry a stop reports: the stop runs on that task's thread.
thread_local task_key_t entering_task{};

struct stop_t {
    std::int32_t reason;
    std::uint64_t site;
    std::uint64_t function;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> tasks;  // copied: the list dies with the report
    task_key_t entering;
};
std::mutex stops_mutex;
std::vector<stop_t> stops;

std::vector<stop_t> take_stops() {
    std::lock_guard<std::mutex> guard(stops_mutex);
    return std::exchange(stops, {});
}

std::vector<std::pair<std::uint32_t, std::uint64_t>> tasks(std::initializer_list<task_key_t> keys) {
    std::vector<std::pair<std::uint32_t, std::uint64_t>> list;
    for (const task_key_t& key : keys) list.emplace_back(static_cast<std::uint32_t>(key.type), key.id);
    return list;
}

tavo::re_t& re = tavo::runtime.re;
constexpr task_key_t a{3, 1}, b{3, 2};
constexpr std::uint64_t f = 0x401000, g = 0x402000, h = 0x403000;

class Reentrancy : public ::testing::Test {
protected:
    void SetUp() override {
        re.reset();
        re.filter.store(nullptr);
        take_stops();
        tavo::obtain_thread_record()->last_site = 0x5173;
    }
    void TearDown() override {
        re.reset();
        re.filter.store(nullptr);
    }
};

}  // namespace

extern "C" void __tavo_switch_to_debugger(void) {
    if (__tavo_event_reason >= 0 && __tavo_event_reason != TAVO_EVENT_REENTRANT_CALL) return;
    stop_t stop{__tavo_event_reason, __tavo_current_detection.site, 0, {}, entering_task};
    if (stop.reason == TAVO_EVENT_REENTRANT_CALL) {
        const tavo_reentrancy_detection_t& detection = __tavo_current_detection.reentrancy;
        stop.function = detection.function;
        for (std::uint64_t index = 0; index < detection.offense_count; ++index) {
            EXPECT_EQ(detection.offenses[index].padding, 0u);
            stop.tasks.emplace_back(detection.offenses[index].task_type, detection.offenses[index].task_id);
        }
    }
    std::lock_guard<std::mutex> guard(stops_mutex);
    stops.push_back(std::move(stop));
}

TEST(JumpStub, NullIsNotRead) { EXPECT_EQ(tavo::resolve_jump_stub(0), 0u); }

TEST_F(Reentrancy, HeapExhaustionReportsAndLeavesTheStackAsItWas) {
    re.enter(a, f, 0x10000);
    allocations_before_failure = 0;
    re.enter(b, f, 0x1000);  // b's new stack cannot be made; a is still found inside f
    auto seen = take_stops();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].reason, tavo::error::out_of_memory);
    EXPECT_EQ(seen[0].site, 0x5173u);
    EXPECT_EQ(seen[1].tasks, tasks({a, b}));
    EXPECT_EQ(re.call_stack_count(), 1u);

    // Deeper and deeper entries until one needs memory: that one alone is missing.
    entries_t expected = re.call_stack(a);
    bool failed = false;
    for (std::uint64_t frame = 0xFFF0; !failed && frame > 0xF000; frame -= 0x10) {
        allocations_before_failure = 0;
        re.enter(a, g, frame);
        failed = allocations_before_failure < 0;
        allocations_before_failure = -1;
        EXPECT_EQ(take_stops().size(), failed ? 1u : 0u);
        if (!failed) expected.push_back({g, frame});
        EXPECT_EQ(re.call_stack(a), expected);
    }
    EXPECT_TRUE(failed);
    allocations_before_failure = 0;
    re.enter(a, h, 0xFFF8);  // takes a trimmed slot: needs no memory
    const long unused_allocations = allocations_before_failure.exchange(-1);
    EXPECT_EQ(unused_allocations, 0);
    EXPECT_EQ(re.call_stack(a), (entries_t{{f, 0x10000}, {h, 0xFFF8}}));

    re.enter(b, g, 0x1000);
    allocations_before_failure = 0;
    re.enter(b, f, 0xF00);  // the offenses list cannot be made
    seen = take_stops();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].reason, tavo::error::out_of_memory);
    EXPECT_EQ(re.call_stack(b), (entries_t{{g, 0x1000}, {f, 0xF00}}));
}

// Tasks on four threads enter and leave shared functions while stacks are reset and dropped.
// Every report lists distinct other tasks in table order and ends with the task that entered.
TEST_F(Reentrancy, ConcurrentTasksSeeAConsistentTable) {
    constexpr int threads = 4;
    std::atomic<int> ready{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            entering_task = {3, static_cast<std::uint64_t>(t + 1)};
            tavo::task_context_t* ending = tavo::new_task_context(3, entering_task.id, 0, nullptr);
            re.enter(entering_task, f, 0x2000);
            ready.fetch_add(1);
            while (ready.load() < threads) {}
            // Every thread is inside f now: until the first reset, each entry below is reported.
            for (int round = 0; round < 1500; ++round) {
                re.enter(entering_task, f, 0x1000);
                re.enter(entering_task, g + static_cast<std::uint64_t>(round % 3), 0xF00);
                if (round % 500 == 499 && t == 0) re.reset();
                if (round % 300 == 299) re.forget_task(*ending);
                re.leave(entering_task, f, 0x1000);
            }
            re.leave(entering_task, f, 0x2000);
            tavo::delete_task_context(ending);
        });
    }
    for (auto& worker : workers) worker.join();
    const auto seen = take_stops();
    EXPECT_GT(seen.size(), 0u);
    for (const stop_t& stop : seen) {
        const auto& list = stop.tasks;
        const auto entering = std::make_pair(3u, stop.entering.id);
        ASSERT_GE(list.size(), 2u);
        EXPECT_EQ(list.back(), entering);
        for (std::size_t i = 0; i + 1 < list.size(); ++i) {
            EXPECT_NE(list[i], entering);
            if (i + 2 < list.size()) {
                EXPECT_LT(list[i], list[i + 1]);
            }
        }
    }
    for (int t = 0; t < threads; ++t) EXPECT_EQ(re.call_stack({3, static_cast<std::uint64_t>(t + 1)}), entries_t{});
}
