#include "filter/filter_batch.h"

#include <memory>
#include <new>
#include <ostream>

#include "filter/filter_object.h"
#include "runtime/errors.h"
#include "runtime/log.h"
#include "runtime/runtime.h"

namespace tavo {

namespace {

std::uint8_t low_nibble(std::uint8_t byte) { return byte & 0xF; }

const char* operation_name(std::uint8_t operation) {
    switch (low_nibble(operation)) {
    case filter_operation::clear: return "clear ";
    case filter_operation::add: return "add ";
    case filter_operation::focus: return "focus ";
    case filter_operation::remove: return "remove ";
    case filter_operation::suppress: return "suppresss ";
    default: return "? ";
    }
}

const char* feature_name(std::uint8_t feature) {
    switch (feature) {
    case filter_feature::tsm: return "tsm";
    case filter_feature::re: return "re";
    default: return "?";
    }
}

const char* target_name(std::uint8_t target) {
    switch (low_nibble(target)) {
    case filter_target::code: return " code ";
    case filter_target::data: return " data ";
    case filter_target::task: return " task ";
    case filter_target::polarity: return " polarity ";
    case filter_target::all: return " all ";
    default: return " ? ";
    }
}

// Feature table index of the record's feature, or -1.
int feature_index(std::uint8_t feature) {
    switch (feature) {
    case filter_feature::tsm: return 0;
    case filter_feature::re: return 1;
    default: return -1;
    }
}

// A feature's first batch starts from what it watches without a filter: everything for tsm; for
// re, nothing until code ranges are focused.
std::uint32_t initial_polarity(int index) { return index == 0 ? polarity_suppress : polarity_focus; }

using pending_filter_t = std::unique_ptr<filter_object_t, heap_deleter_t>;

std::int32_t apply_record(filter_object_t& filter, const tavo_filter_record_t& record) {
    switch (low_nibble(record.target)) {
    case filter_target::code: return apply_range_set_operation(filter.code, record);
    case filter_target::data: return apply_range_set_operation(filter.data, record);
    case filter_target::task: return apply_task_set_operation(filter.tasks, record);
    case filter_target::polarity: return apply_polarity_operation(filter, record);
    default: return error::bad_filter_operation;
    }
}

std::int32_t apply_records(runtime_t& owner, pending_filter_t (&pending)[2]) {
    // Read once: the loop then stays within the records the caller checked against the capacity.
    const std::uint32_t count = __tavo_config.filter_count;
    const tavo_filter_record_t* const buffer = __tavo_filter_space;
    for (std::uint32_t index = 0; index < count; ++index) {
        const tavo_filter_record_t* const place = buffer + index;
        log_filter_record(place);
        const tavo_filter_record_t record = *place;
        const int feature = feature_index(record.feature);
        if (feature < 0 || owner.features[feature] == nullptr) return error::unknown_feature;
        if (pending[feature] == nullptr) {
            const filter_object_t* installed = owner.features[feature]->filter.load(std::memory_order_acquire);
            pending[feature].reset(installed != nullptr ? copy_filter_object(*installed)
                                                        : new_filter_object(initial_polarity(feature)));
            if (pending[feature] == nullptr) return error::out_of_memory;
        }
        if (const std::int32_t failure = apply_record(*pending[feature], record); failure != 0) return failure;
        __tavo_config.filter_count = count - index - 1;
    }
    return 0;
}

}  // namespace

std::int32_t apply_range_set_operation(range_set_t& ranges, const tavo_filter_record_t& record) {
    const range_t range{record.first, static_cast<std::uint32_t>(record.second)};
    switch (low_nibble(record.operation)) {
    case filter_operation::clear: ranges.clear(); return 0;
    case filter_operation::add: return ranges.insert(range) ? 0 : error::filter_operation_failed;
    case filter_operation::remove: return ranges.remove_equivalent(range) != 0 ? 0 : error::filter_operation_failed;
    default: return error::bad_filter_operation;
    }
}

std::int32_t apply_task_set_operation(set_t<std::uint64_t>& tasks, const tavo_filter_record_t& record) {
    switch (low_nibble(record.operation)) {
    case filter_operation::clear: tasks.clear(); return 0;
    case filter_operation::add: return tasks.insert(record.first).second ? 0 : error::filter_operation_failed;
    case filter_operation::remove: return tasks.erase(record.first) != 0 ? 0 : error::filter_operation_failed;
    default: return error::bad_filter_operation;
    }
}

std::int32_t apply_polarity_operation(filter_object_t& filter, const tavo_filter_record_t& record) noexcept {
    switch (low_nibble(record.operation)) {
    case filter_operation::focus: filter.polarity = polarity_focus; return 0;
    case filter_operation::suppress: filter.polarity = polarity_suppress; return 0;
    default: return error::bad_filter_operation;
    }
}

void log_filter_record(const tavo_filter_record_t* record) {
    std::ostream& stream = log_stream();
    if (logging(log_family::dumps)) write_dump_line(stream, "filter", record, sizeof *record);
    if (logging(log_family::status)) {
        stream << "tavo: " << operation_name(record->operation) << feature_name(record->feature)
               << target_name(record->target) << "filter(0x" << hex(record->first) << ", 0x" << hex(record->second)
               << ')' << std::endl;
    }
}

std::int32_t apply_filter_batch(runtime_t& owner) noexcept {
    // Pending objects of a failed batch are freed on return; nothing of it was installed.
    pending_filter_t pending[2];
    std::int32_t result;
    try {
        result = apply_records(owner, pending);
    } catch (const std::bad_alloc&) {
        result = error::out_of_memory;
    } catch (...) {
        // Only the log stream can throw anything else, and only if the host enabled its exceptions.
        result = error::internal;
    }
    if (result != 0) return result;
    for (int feature = 0; feature < 2; ++feature) {
        if (pending[feature] == nullptr) continue;
        std::atomic<const filter_object_t*>& installed = owner.features[feature]->filter;
        pending[feature]->replaced = installed.load(std::memory_order_relaxed);
        if (owner.features[feature] == &owner.tsm) add_quick_off(quick_off::tsm_filter);
        installed.store(pending[feature].release(), std::memory_order_release);
    }
    return 0;
}

}  // namespace tavo
