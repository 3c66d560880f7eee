// The filter batch where the differential streams do not reach: its log lines, readers while
// batches replace the object, heap exhaustion. Plays the debugger: writes filter records and the
// configuration block, polls under the runtime lock, and puts every global back afterwards.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "filter/filter_batch.h"
#include "filter/filter_object.h"
#include "runtime/errors.h"
#include "runtime/log.h"
#include "runtime/runtime.h"

#include "allocation_failure.h"

namespace tavo {
namespace {

using namespace filter_target;
using namespace filter_operation;
constexpr std::uint8_t tsm = filter_feature::tsm;
constexpr std::uint8_t re = filter_feature::re;
constexpr std::int32_t updated = TAVO_EVENT_CONFIGURATION_UPDATED;

tavo_filter_record_t filter_record(std::uint8_t feature, std::uint8_t target, std::uint8_t operation,
                                   std::uint64_t first = 0, std::uint64_t second = 0) {
    return {feature, 0, target, operation, {}, first, second};
}

class FilterBatch : public testing::Test {
protected:
    void SetUp() override {
        for (feature_t* feature : runtime.features) feature->filter.store(nullptr);
        __tavo_config = {TAVO_CONFIG_VERSION, 0, 0, 0};
        logging_mask = 0;
    }
    void TearDown() override {
        for (int feature = 0; feature < 2; ++feature) {
            for (const filter_object_t* filter = filter_of(feature); filter != nullptr;) {
                const filter_object_t* replaced = filter->replaced;
                tavo::heap_delete(filter);
                filter = replaced;
            }
            runtime.features[feature]->filter.store(saved_filters_[feature]);
        }
        __tavo_config = saved_config_;
        __tavo_filter_space = saved_space_;
        filter_capacity = saved_capacity_;
        logging_mask = saved_logging_mask_;
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

private:
    const tavo_config_t saved_config_ = __tavo_config;
    tavo_filter_record_t* const saved_space_ = __tavo_filter_space;
    const std::uint32_t saved_capacity_ = filter_capacity, saved_logging_mask_ = logging_mask;
    const filter_object_t* const saved_filters_[2] = {filter_of(0), filter_of(1)};
};

TEST_F(FilterBatch, LogsEachRecordUpToTheFailingOne) {
    logging_mask = log_family::status | log_family::dumps;
    testing::internal::CaptureStderr();
    // The high nibbles belong to neither target nor operation.
    EXPECT_EQ(apply({filter_record(tsm, 0x21, 0x12, 0x401000, 0xFFFFFFFF00000200),
                     filter_record(3, all, suppress, 0xABC, 1), filter_record(re, 3, 9)}),
              error::unknown_feature);
    auto dump_prefix = [](const char* name, const void* address) {
        char text[64];
        std::snprintf(text, sizeof text, "%s(0x%016" PRIXPTR "): ", name, reinterpret_cast<std::uintptr_t>(address));
        return std::string(text);
    };
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
    EXPECT_EQ(apply({filter_record(re, 3, 9)}), error::bad_filter_operation);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tavo: ? re ? filter(0x0, 0x0)\n");
}

// Detectors read the installed object without a lock while batches replace it.
TEST_F(FilterBatch, ReadersOnlyEverSeeWholeBatches) {
    std::atomic<bool> done{false};
    auto read = [&] {
        while (!done.load()) {
            const filter_object_t* filter = runtime.tsm.filter.load(std::memory_order_acquire);
            if (filter == nullptr) continue;
            ASSERT_EQ(filter->code.size(), filter->data.size());
            ASSERT_FALSE(access_watched(*filter, std::prev(filter->data.end())->base + 4, 4, 0x10));
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
}

TEST_F(FilterBatch, HeapExhaustionAnywhereInstallsNothing) {
    ASSERT_EQ(apply({filter_record(tsm, code, add, 0x1000, 0x100), filter_record(tsm, data, add, 0x8000, 1)}), updated);
    const filter_object_t* installed = filter_of(0);
    // Copies the installed tsm object, creates the re object, inserts into every kind of set.
    const std::vector<tavo_filter_record_t> batch = {
        filter_record(re, task, add, 5), filter_record(tsm, code, add, 0x3000, 1),
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

}  // namespace
}  // namespace tavo
