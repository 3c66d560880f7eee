// Plays the debugger for filter batches: writes the records and the configuration block, polls
// under the runtime lock, and puts every global back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "filter/filter_batch.h"
#include "filter/filter_object.h"
#include "runtime/errors.h"
#include "runtime/runtime.h"

namespace tavo {

inline tavo_filter_record_t filter_record(std::uint8_t feature, std::uint8_t target, std::uint8_t operation,
                                          std::uint64_t first = 0, std::uint64_t second = 0) {
    tavo_filter_record_t record{};
    record.feature = feature;
    record.target = target;
    record.operation = operation;
    record.first = first;
    record.second = second;
    return record;
}

class filter_batch_fixture_t : public testing::Test {
protected:
    void SetUp() override {
        for (int feature = 0; feature < 2; ++feature) saved_filters_[feature] = filter_of(feature);
        for (feature_t* feature : runtime.features) feature->filter.store(nullptr);
        __tavo_config = {TAVO_CONFIG_VERSION, 0, 0, 0};
        logging_mask = 0;
    }

    void TearDown() override {
        for (int feature = 0; feature < 2; ++feature) {
            // Everything installed here, newest first down the chain of replaced objects.
            for (const filter_object_t* filter = filter_of(feature); filter != nullptr;) {
                const filter_object_t* replaced = filter->replaced;
                delete filter;
                filter = replaced;
            }
            runtime.features[feature]->filter.store(saved_filters_[feature]);
        }
        __tavo_config = saved_config_;
        __tavo_filter_space = saved_space_;
        filter_capacity = saved_capacity_;
        logging_mask = saved_logging_mask_;
    }

    // Writes the batch into a buffer of its own size and polls once.
    std::int32_t apply(std::vector<tavo_filter_record_t> records) {
        write(std::move(records));
        return reapply(filter_capacity);
    }

    void write(std::vector<tavo_filter_record_t> records) {
        records_ = std::move(records);
        __tavo_filter_space = records_.data();
        filter_capacity = static_cast<std::uint32_t>(records_.size());
    }

    // Polls again over the same buffer, with the filter count the debugger writes.
    std::int32_t reapply(std::uint32_t filter_count) {
        __tavo_config.filter_count = filter_count;
        __tavo_config.request = TAVO_REQUEST_APPLY_FILTERS;
        runtime_lock_guard_t guard;
        return runtime.poll_configuration();
    }

    static const filter_object_t* filter_of(int feature) { return runtime.features[feature]->filter.load(); }

    std::vector<tavo_filter_record_t> records_;

private:
    const tavo_config_t saved_config_ = __tavo_config;
    tavo_filter_record_t* const saved_space_ = __tavo_filter_space;
    const std::uint32_t saved_capacity_ = filter_capacity;
    const std::uint32_t saved_logging_mask_ = logging_mask;
    const filter_object_t* saved_filters_[2] = {};
};

}  // namespace tavo
