// The runtime where the differential streams do not reach: log lines and dumps byte for byte, the
// filter batch and the reentrant-call detector against concurrent readers and exhausted memory, the
// range set against an exhaustive search, and task contexts under concurrent entry and exit.
#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>

#include "filter/filter_batch.h"
#include "filter/filter_object.h"
#include "runtime/log.h"
#include "runtime/memory.h"
#include "task/ended_tasks.h"
#include "task/task_table.h"
#include "test_support.h"

namespace tavo {
namespace {

void report(std::int32_t reason, std::uint64_t site = 0) {
    runtime_lock_guard_t guard;
    runtime.report(reason, site);
}

std::string dump_prefix(const char* name, const void* address) {
    char text[64];
    std::snprintf(text, sizeof text, "%s(0x%016" PRIXPTR "): ", name, reinterpret_cast<std::uintptr_t>(address));
    return text;
}

class EventTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::take_stops();
        __tavo_current_detection = {};
    }
    void TearDown() override { logging_mask = 0; }
};

// Each data-sharing detection in long and short form: every access type, unknown task types, no
// offended access. The reentrant call's lines are checked by the scenario tests.
TEST_F(EventTest, DetectionsInLongAndShortForm) {
    struct case_t {
        tavo_access_t offending;  // type, size, address, task type, padding, task id, code address
        std::vector<tavo_access_t> offended;
        const char* text;
    } cases[] = {
        {{0, 4, 0x1000, 2, 0, 7, 0x401234}, {{1, 4, 0x1000, 3, 0, 12, 0x401300}},
         "tavo: data sharing detected\n"
         "  object(base): 0x1000, 4 bytes read by openmp task 7 at address 0x401234\n"
         "  object(base): 0x1000, 4 bytes written by native thread 12 at address 0x401300\n"
         "tsm: (2.7 r 0x1000+4 @ 0x401234), (3.12 w 0x1000+4 @ 0x401300)\n"},
        {{3, 8, 0xabc0, 1, 0, 1, 0x10}, {{2, 1, 0xabc7, 0, 0, 2, 0x20}, {9, 2, 0xabc6, 4, 0, 3, 0x30}},
         "tavo: data sharing detected\n"
         "  object(base): 0xabc0, 8 bytes atomically updated by initial task 1 at address 0x10\n"
         "  object(base): 0xabc7, 1 bytes updated by ? 2 at address 0x20\n"
         "  object(base): 0xabc6, 2 bytes ? by ? 3 at address 0x30\n"
         "tsm: (1.1 w 0xabc0+8 @ 0x10), (0.2 w 0xabc7+1 @ 0x20), (4.3 w 0xabc6+2 @ 0x30)\n"},
        {{1, 2, 0x20, 3, 0, 4, 0x50}, {},
         "tavo: data sharing detected\n"
         "  object(base): 0x20, 2 bytes written by native thread 4 at address 0x50\n"
         "tsm: (3.4 w 0x20+2 @ 0x50)\n"},
    };
    logging_mask = 0x9;
    for (case_t& c : cases) {
        __tavo_current_detection = {};
        auto& sharing = __tavo_current_detection.sharing;
        sharing.offending = c.offending;
        sharing.offended = c.offended.empty() ? nullptr : c.offended.data();
        sharing.offended_count = c.offended.size();
        testing::internal::CaptureStderr();
        report(TAVO_EVENT_DATA_SHARING, 0x401234);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.text);
        EXPECT_EQ(__tavo_current_detection.site, 0x401234u);
    }
    EXPECT_EQ(test::take_stops().size(), 3u);
}

TEST_F(EventTest, DumpsOfTheRecordAndItsList) {
    static tavo_offense_t offenses[1] = {{1, 0, 5}};
    auto& reentrancy = __tavo_current_detection.reentrancy;
    reentrancy.function = 0x401000;
    reentrancy.offenses = offenses;
    reentrancy.offense_count = 1;
    logging_mask = 0x400;
    testing::internal::CaptureStderr();
    report(257, 0x11);
    const std::string text = testing::internal::GetCapturedStderr();
    const std::string expected = dump_prefix("__tavo_event_reason", &__tavo_event_reason) + "01 01 00 00 \n" +
                                 dump_prefix("__tavo_current_detection", &__tavo_current_detection) +
                                 "11 00 00 00 00 00 00 00 00 10 40 00 00 00 00 00 01 00 00 00 00 00 00 00 ";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
    EXPECT_NE(text.find(dump_prefix("offenses", offenses) + "01 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00 \n"),
              std::string::npos) << text;
}

TEST_F(EventTest, InternalChecksLogWhateverTheMaskAndReportSiteZero) {
    int check_line, bug_line;
    testing::internal::CaptureStderr();
    check_line = __LINE__; TAVO_CHECK(1 + 1 == 3);
    bug_line = __LINE__; TAVO_BUG();
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(text, "condition 1 + 1 == 3 failed at runtime_test.cpp:" + std::to_string(check_line) +
                        "\nbug at runtime_test.cpp:" + std::to_string(bug_line) + "\n");
    const auto stops = test::take_stops();
    ASSERT_EQ(stops.size(), 2u);
    EXPECT_EQ(stops[0].site + stops[1].site, 0u);
}

using namespace filter_target;
using namespace filter_operation;
constexpr std::uint8_t tsm = filter_feature::tsm;
constexpr std::int32_t updated = TAVO_EVENT_CONFIGURATION_UPDATED;

tavo_filter_record_t filter_record(std::uint8_t feature, std::uint8_t target, std::uint8_t operation,
                                   std::uint64_t first = 0, std::uint64_t second = 0) {
    return {feature, 0, target, operation, {}, first, second};
}

// Plays the debugger: writes filter records and the configuration block, polls under the runtime
// lock, and puts every global back as the process began afterwards.
class FilterBatch : public testing::Test {
protected:
    void TearDown() override {
        for (feature_t* feature : runtime.features) feature->filter.store(nullptr);
        __tavo_config = {TAVO_CONFIG_VERSION, 0, 0, 0};
        __tavo_filter_space = nullptr;
        filter_capacity = 0;
        logging_mask = 0;
    }

    // Writes the records into a buffer of their own size, then polls with that filter count.
    std::int32_t apply(std::vector<tavo_filter_record_t> records) {
        records_ = std::move(records);
        __tavo_filter_space = records_.data();
        filter_capacity = static_cast<std::uint32_t>(records_.size());
        __tavo_config.filter_count = filter_capacity;
        __tavo_config.request = TAVO_REQUEST_APPLY_FILTERS;
        runtime_lock_guard_t guard;
        return runtime.poll_configuration();
    }
    static const filter_object_t* filter_of(int feature) { return runtime.features[feature]->filter.load(); }

    std::vector<tavo_filter_record_t> records_;
};

TEST_F(FilterBatch, LogsEachRecordUpToTheFailingOne) {
    logging_mask = log_family::status | log_family::dumps;
    testing::internal::CaptureStderr();
    // The high nibbles belong to neither target nor operation.
    EXPECT_EQ(apply({filter_record(tsm, 0x21, 0x12, 0x401000, 0xFFFFFFFF00000200),
                     filter_record(3, all, suppress, 0xABC, 1), filter_record(filter_feature::re, 3, 9)}),
              error::unknown_feature);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              dump_prefix("__tavo_config", &__tavo_config) + "03 00 00 00 00 00 00 40 00 00 00 00 03 00 00 00 \n" +
                  dump_prefix("filter", &records_[0]) +
                  "01 00 21 12 00 00 00 00 00 10 40 00 00 00 00 00 00 02 00 00 ff ff ff ff \n"
                  "tavo: add tsm code filter(0x401000, 0xffffffff00000200)\n" +
                  dump_prefix("filter", &records_[1]) +
                  "03 00 0f 05 00 00 00 00 bc 0a 00 00 00 00 00 00 01 00 00 00 00 00 00 00 \n"
                  "tavo: suppresss ? all filter(0xabc, 0x1)\n");
    logging_mask = log_family::status;
    testing::internal::CaptureStderr();
    EXPECT_EQ(apply({filter_record(filter_feature::re, 3, 9)}), error::bad_filter_operation);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tavo: ? re ? filter(0x0, 0x0)\n");
}

TEST_F(FilterBatch, HeapExhaustionAnywhereInstallsNothing) {
    ASSERT_EQ(apply({filter_record(tsm, code, add, 0x1000, 0x100), filter_record(tsm, data, add, 0x8000, 1)}), updated);
    const filter_object_t* installed = filter_of(0);
    // Copies the installed tsm object, creates the re object, inserts into every kind of set.
    const std::vector<tavo_filter_record_t> batch = {
        filter_record(filter_feature::re, task, add, 5), filter_record(tsm, code, add, 0x3000, 1),
        filter_record(tsm, data, add, 0x9000, 1), filter_record(tsm, task, add, 6)};
    long failing_allocation = 0;
    for (;; ++failing_allocation) {
        std::vector<tavo_filter_record_t> records = batch;  // allocated before the failure is armed
        allocations_before_failure = failing_allocation;
        const std::int32_t result = apply(std::move(records));
        allocations_before_failure = -1;
        if (result == updated) break;
        ASSERT_EQ(result, error::out_of_memory) << failing_allocation;
        EXPECT_TRUE(filter_of(0) == installed && filter_of(1) == nullptr);
        EXPECT_EQ(__tavo_config.request, TAVO_REQUEST_APPLY_FILTERS);
    }
    EXPECT_GE(failing_allocation, 8);  // two objects, two copied and four new set nodes at least
    EXPECT_TRUE(filter_of(0)->code.size() == 2 && filter_of(0)->data.size() == 2 && filter_of(1)->tasks.size() == 1);
}

// Small random ranges, so that overlap and containment are frequent; filter verdicts are the
// differential streams'.
TEST(RangeSet, AgreesWithExhaustiveSearch) {
    std::mt19937_64 random(12345);
    auto contains = [](range_t outer, range_t inner) { return outer.base <= inner.base && inner.end() <= outer.end(); };
    auto equivalent = [&](range_t a, range_t b) { return contains(a, b) || contains(b, a); };
    range_set_t set;
    std::vector<range_t> members;
    for (int step = 0; step < 4000; ++step) {
        const range_t range{random() % 512, static_cast<std::uint32_t>(random() % 64)};
        bool any_equivalent = false, any_contains = false;
        for (const range_t& member : members) {
            any_equivalent |= equivalent(member, range);
            any_contains |= contains(member, range);
        }
        ASSERT_EQ(set.contains(range), any_contains);
        if (step % 7 == 0) {
            const auto erased = std::erase_if(members, [&](const range_t& member) { return equivalent(member, range); });
            ASSERT_EQ(set.remove_equivalent(range), erased);
        } else {
            ASSERT_EQ(set.insert(range), !any_equivalent);
            if (!any_equivalent) members.push_back(range);
        }
    }
}

TEST(JumpStub, NullIsNotRead) { EXPECT_EQ(resolve_jump_stub(0), 0u); }

using entries_t = std::vector<call_entry_t>;
re_t& detector = runtime.re;
constexpr task_key_t a{3, 1}, b{3, 2};
constexpr std::uint64_t f = 0x401000, g = 0x402000, h = 0x403000;

TEST(Reentrancy, HeapExhaustionReportsAndLeavesTheStackAsItWas) {
    detector.reset();
    test::take_stops();
    test::set_thread_site(0x5173);
    detector.enter(a, f, 0x10000);
    allocations_before_failure = 0;
    detector.enter(b, f, 0x1000);  // b's new stack cannot be made; a is still found inside f
    auto seen = test::take_stops();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].reason, error::out_of_memory);
    EXPECT_EQ(seen[0].site, 0x5173u);
    EXPECT_EQ(seen[1].tasks, (test::task_list_t{{3, 1}, {3, 2}}));
    EXPECT_EQ(detector.call_stack_count(), 1u);

    // Deeper and deeper entries until one needs memory: that one alone is missing.
    entries_t expected = detector.call_stack(a);
    bool failed = false;
    for (std::uint64_t frame = 0xFFF0; !failed && frame > 0xF000; frame -= 0x10) {
        allocations_before_failure = 0;
        detector.enter(a, g, frame);
        failed = allocations_before_failure < 0;
        allocations_before_failure = -1;
        EXPECT_EQ(test::take_stops().size(), failed ? 1u : 0u);
        if (!failed) expected.push_back({g, frame});
        EXPECT_EQ(detector.call_stack(a), expected);
    }
    EXPECT_TRUE(failed);
    allocations_before_failure = 0;
    detector.enter(a, h, 0xFFF8);  // takes a trimmed slot: needs no memory
    const long unused_allocations = allocations_before_failure.exchange(-1);
    EXPECT_EQ(unused_allocations, 0);
    EXPECT_EQ(detector.call_stack(a), (entries_t{{f, 0x10000}, {h, 0xFFF8}}));

    detector.enter(b, g, 0x1000);
    allocations_before_failure = 0;
    detector.enter(b, f, 0xF00);  // the offenses list cannot be made
    seen = test::take_stops();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].reason, error::out_of_memory);
    EXPECT_EQ(detector.call_stack(b), (entries_t{{g, 0x1000}, {f, 0xF00}}));
}

task_context_t* current_task() { return find_thread_record()->current_task; }

struct flags_t {
    explicit flags_t(std::uint32_t flags) { __tavo_config.flags = flags; }
    ~flags_t() { __tavo_config.flags = 0; }
};

// Workers enter and leave tasks on six threads: no handle is ever held by two live tasks, and once
// every worker task has ended, the active mask, recomputed without the lock when nothing changed,
// is the quiet one again. Retirement from every clock is the differential streams'.
TEST(TaskModel, ConcurrentEntriesAndExitsRetireEveryHandle) {
    flags_t flags(TAVO_FLAG_TSM);
    static std::atomic<int> owners[65536];
    std::atomic<int> faults{0};
    for (int trial = 0; trial < 10; ++trial) {
        test::run_together(6, [&](int worker) {
            for (int round = 0; round < 200; ++round) {
                const std::uint64_t id = static_cast<std::uint64_t>(worker) * 100000 + round;
                _TAVO_enterGenericTask(3, id);
                const std::uint16_t handle = current_task()->handle;
                int expected = 0;
                if (!owners[handle].compare_exchange_strong(expected, worker + 1)) faults.fetch_add(1);
                owners[handle].store(0);
                _TAVO_leaveGenericTask(3, id);
            }
        });
        ASSERT_EQ(__TAVO_isGuardedCall, 0xFFFFFFE1u) << "trial " << trial;
    }
    EXPECT_EQ(faults.load(), 0);
    EXPECT_TRUE(test::take_stops().empty());
}

// Threads end tasks that wrote a shared array and that nobody joins, while other threads' tasks
// read it and find the ended ones: all are kept until the bound, then forgotten oldest first by
// whichever thread ends a task, under the sanitizers' eyes.
TEST(TaskModel, EndedTasksNobodyJoinsAreKeptUpToTheBound) {
    flags_t flags(TAVO_FLAG_TSM | TAVO_FLAG_KEEP_ENDED_TASKS);
    static std::uint64_t shared[32];
    constexpr int threads = 4, rounds = 400;
    _TAVO_enterGenericTask(3, 1000);  // a live task that orders none of them
    test::run_together(threads, [&](int worker) {
        for (int round = 0; round < rounds; ++round) {
            const std::uint64_t id = static_cast<std::uint64_t>(worker) * rounds + round;
            _TAVO_enterGenericTask(0, id);
            _TAVO_writeMemory(&shared[id % 32], 8);
            _TAVO_readMemory(&shared[(id + 1) % 32], 8);
            _TAVO_leaveGenericTask(0, id);
        }
    });
    std::size_t kept = 0;
    for (std::uint64_t id = 0; id < threads * rounds; ++id) kept += ended_task_kept(0, id);
    EXPECT_EQ(kept, kept_task_limit);
    _TAVO_leaveGenericTask(3, 1000);
}

// A thread being created will start from its creator's clock at the fork, which may order less than
// the live tasks do by then: while such a start is pending, a task the live tasks order stays kept.
TEST(TaskModel, EndedTaskStaysKeptWhileAThreadStartIsPending) {
    flags_t flags(TAVO_FLAG_TSM | TAVO_FLAG_KEEP_ENDED_TASKS);
    static std::uint64_t word;
    // A thread's initial task, ended with the thread after it has handed over through a lock.
    const auto thread_task = [](bool writes) {
        std::uint64_t id = 0;
        test::run_together(1, [&](int) {
            _TAVO_syncAcquire(1, 77);
            if (writes) _TAVO_writeMemory(&word, 8);
            _TAVO_syncRelease(1, 77);
            id = current_task()->id;
        });
        return id;
    };
    _TAVO_activateTaskType(3);  // checking on, this thread's initial task live beside theirs
    hold_ended_tasks();
    const std::uint64_t writer = thread_task(true);
    _TAVO_syncAcquire(1, 77);
    thread_task(false);
    EXPECT_TRUE(ended_task_kept(1, writer));
    release_ended_tasks();
    thread_task(false);
    EXPECT_FALSE(ended_task_kept(1, writer));
    _TAVO_enterGenericTask(3, 1);  // lowers the activation again
    _TAVO_leaveGenericTask(3, 1);
}

}  // namespace
}  // namespace tavo
