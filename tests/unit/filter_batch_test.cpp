#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>

#include "filter_batch_fixture.h"
#include "runtime/log.h"

namespace tavo {
namespace {

using FilterBatch = filter_batch_fixture_t;
using namespace filter_target;
using namespace filter_operation;
constexpr std::uint8_t tsm = filter_feature::tsm;
constexpr std::uint8_t re = filter_feature::re;
constexpr std::int32_t updated = TAVO_EVENT_CONFIGURATION_UPDATED;

TEST_F(FilterBatch, SuccessInstallsOneNewObjectPerNamedFeature) {
    ASSERT_EQ(apply({filter_record(tsm, code, add, 0x401000, 0xFFFFFFFF00000200),  // length: the low 32 bits
                     filter_record(tsm, data, add, 0x2000, 0x10), filter_record(tsm, task, add, 7),
                     filter_record(re, polarity, suppress)}),
              updated);
    EXPECT_EQ(__tavo_config.filter_count, 0u);
    EXPECT_EQ(__tavo_config.request, 0u);
    const filter_object_t* tsm_filter = filter_of(0);
    ASSERT_NE(tsm_filter, nullptr);
    EXPECT_EQ(tsm_filter->polarity, polarity_suppress);
    EXPECT_TRUE(tsm_filter->code.contains({0x401200, 0}));
    EXPECT_FALSE(tsm_filter->code.contains({0x401201, 0}));
    EXPECT_TRUE(tsm_filter->data.contains({0x2000, 0x10}));
    EXPECT_EQ(tsm_filter->tasks, (std::set<std::uint64_t>{7}));
    const filter_object_t* re_filter = filter_of(1);
    ASSERT_NE(re_filter, nullptr);
    EXPECT_EQ(re_filter->polarity, polarity_suppress);
    EXPECT_TRUE(re_filter->code.empty() && re_filter->data.empty() && re_filter->tasks.empty());
}

TEST_F(FilterBatch, NewObjectsStartFocusedForReAndSuppressedForTsm) {
    ASSERT_EQ(apply({filter_record(re, code, clear), filter_record(tsm, task, clear)}), updated);
    EXPECT_EQ(filter_of(0)->polarity, polarity_suppress);
    EXPECT_EQ(filter_of(1)->polarity, polarity_focus);
}

TEST_F(FilterBatch, EmptyBatchInstallsNothing) {
    ASSERT_EQ(apply({}), updated);
    EXPECT_EQ(__tavo_config.request, 0u);
    EXPECT_EQ(filter_of(0), nullptr);
    EXPECT_EQ(filter_of(1), nullptr);
}

TEST_F(FilterBatch, LaterBatchesReplaceCopiesAndNeverTouchInstalledObjects) {
    ASSERT_EQ(apply({filter_record(tsm, code, add, 0x1000, 0x100), filter_record(tsm, code, add, 0x3000, 0x100),
                     filter_record(tsm, task, add, 7), filter_record(re, code, add, 0x5000, 0x10)}),
              updated);
    const filter_object_t* first_tsm = filter_of(0);
    const filter_object_t* first_re = filter_of(1);
    ASSERT_EQ(apply({filter_record(tsm, code, remove, 0x1000, 0x100), filter_record(tsm, polarity, focus),
                     filter_record(tsm, task, remove, 7)}),
              updated);
    const filter_object_t* second_tsm = filter_of(0);
    ASSERT_NE(second_tsm, first_tsm);
    EXPECT_EQ(second_tsm->replaced, first_tsm);
    EXPECT_EQ(filter_of(1), first_re);
    EXPECT_EQ(first_tsm->code.size(), 2u);
    EXPECT_EQ(first_tsm->polarity, polarity_suppress);
    EXPECT_EQ(first_tsm->tasks.size(), 1u);
    EXPECT_FALSE(second_tsm->code.contains({0x1000, 0}));
    EXPECT_TRUE(second_tsm->code.contains({0x3000, 0}));
    EXPECT_EQ(second_tsm->polarity, polarity_focus);
    EXPECT_TRUE(second_tsm->tasks.empty());

    // The second add fails, so the remove before it must not take effect either.
    EXPECT_EQ(apply({filter_record(tsm, code, remove, 0x3000, 0x100), filter_record(tsm, code, add, 0x7000, 0x10),
                     filter_record(tsm, code, add, 0x7000, 0x10)}),
              error::filter_operation_failed);
    EXPECT_EQ(__tavo_config.filter_count, 1u);
    EXPECT_EQ(filter_of(0), second_tsm);
    EXPECT_TRUE(second_tsm->code.contains({0x3000, 0}));
    EXPECT_EQ(second_tsm->code.size(), 1u);
}

TEST_F(FilterBatch, FailingRecordInstallsNothingAndCountsItselfAndTheRest) {
    struct failure_t {
        tavo_filter_record_t record;
        std::int32_t code;
    };
    const failure_t failures[] = {
        {filter_record(3, code, add, 0x9000, 1), error::unknown_feature},
        {filter_record(0, polarity, focus), error::unknown_feature},
        {filter_record(tsm, all, clear), error::bad_filter_operation},
        {filter_record(tsm, 0, clear), error::bad_filter_operation},
        {filter_record(tsm, code, focus), error::bad_filter_operation},
        {filter_record(re, task, suppress, 1), error::bad_filter_operation},
        {filter_record(tsm, polarity, add), error::bad_filter_operation},
        {filter_record(tsm, code, add, 0x1010, 0x10), error::filter_operation_failed},
        {filter_record(tsm, data, remove, 0x1000, 0x100), error::filter_operation_failed},
        {filter_record(tsm, task, add, 7), error::filter_operation_failed},
        {filter_record(re, task, remove, 7), error::filter_operation_failed},
    };
    for (const failure_t& failure : failures) {
        EXPECT_EQ(apply({filter_record(tsm, code, add, 0x1000, 0x100), filter_record(tsm, task, add, 7),
                         filter_record(re, polarity, focus), failure.record,
                         filter_record(re, code, add, 0x5000, 0x10)}),
                  failure.code);
        EXPECT_EQ(__tavo_config.filter_count, 2u);
        EXPECT_EQ(__tavo_config.request, TAVO_REQUEST_APPLY_FILTERS);
        EXPECT_EQ(filter_of(0), nullptr);
        EXPECT_EQ(filter_of(1), nullptr);
    }
}

// Detectors read the installed object without a lock while batches replace it.
TEST_F(FilterBatch, ReadersOnlyEverSeeWholeBatches) {
    std::atomic<bool> done{false};
    auto read = [&] {
        while (!done.load()) {
            const filter_object_t* filter = runtime.tsm.filter.load(std::memory_order_acquire);
            if (filter == nullptr) continue;
            ASSERT_EQ(filter->code.size(), filter->data.size());
            const std::uint64_t newest = std::prev(filter->code.end())->base;
            ASSERT_FALSE(access_watched(*filter, newest + 4, 4, 0x10));
        }
    };
    std::thread readers[] = {std::thread(read), std::thread(read)};
    for (std::uint64_t batch = 1; batch <= 200; ++batch) {
        EXPECT_EQ(apply({filter_record(tsm, code, add, batch * 0x100, 0x10),
                         filter_record(tsm, data, add, batch * 0x100, 0x10)}),
                  updated);
    }
    done = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(filter_of(0)->code.size(), 200u);
}

std::string pointer_text(const void* address) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIXPTR, reinterpret_cast<std::uintptr_t>(address));
    return text;
}

TEST_F(FilterBatch, StatusLinesNameEachRecordUpToTheFailingOne) {
    logging_mask = log_family::status;
    testing::internal::CaptureStderr();
    // The high nibbles of target and operation are not part of either.
    EXPECT_EQ(apply({filter_record(tsm, 0x21, 0x12, 0x401000, 0xFFFFFFFF00000200),
                     filter_record(re, polarity, suppress), filter_record(3, all, suppress, 0xABC, 1),
                     filter_record(tsm, code, add, 1, 1)}),
              error::unknown_feature);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tavo: add tsm code filter(0x401000, 0xffffffff00000200)\n"
              "tavo: suppresss re polarity filter(0x0, 0x0)\n"
              "tavo: suppresss ? all filter(0xabc, 0x1)\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(apply({filter_record(re, 3, 9)}), error::bad_filter_operation);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tavo: ? re ? filter(0x0, 0x0)\n");
}

TEST_F(FilterBatch, DumpLinePrecedesTheStatusLine) {
    logging_mask = log_family::status | log_family::dumps;
    testing::internal::CaptureStderr();
    EXPECT_EQ(apply({filter_record(tsm, code, add, 0x401000, 0x200)}), updated);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "__tavo_config(0x" + pointer_text(&__tavo_config) +
                  "): 03 00 00 00 00 00 00 40 00 00 00 00 01 00 00 00 \n"
                  "filter(0x" + pointer_text(records_.data()) +
                  "): 01 00 01 02 00 00 00 00 00 10 40 00 00 00 00 00 00 02 00 00 00 00 00 00 \n"
                  "tavo: add tsm code filter(0x401000, 0x200)\n");
}

}  // namespace
}  // namespace tavo
