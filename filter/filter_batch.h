// The debugger's filter records and the batches that turn them into filter objects.
#pragma once

#include <cstdint>

#include "runtime/memory.h"
#include "tavo/tavo.h"

namespace tavo {

class runtime_t;
class range_set_t;
struct filter_object_t;

namespace filter_feature {
constexpr std::uint8_t tsm = 1;
constexpr std::uint8_t re = 2;
}  // namespace filter_feature

namespace filter_target {
constexpr std::uint8_t code = 1;
constexpr std::uint8_t data = 2;
constexpr std::uint8_t task = 4;
constexpr std::uint8_t polarity = 8;
constexpr std::uint8_t all = 15;  // named in the log, never applied
}  // namespace filter_target

namespace filter_operation {
constexpr std::uint8_t clear = 1;
constexpr std::uint8_t add = 2;
constexpr std::uint8_t focus = 3;
constexpr std::uint8_t remove = 4;
constexpr std::uint8_t suppress = 5;
}  // namespace filter_operation

// Applies the filter records in the filter buffer as one batch, counting the filter count down as
// records succeed. Returns 0 with the new filter objects installed, or the failing record's error
// code (-9998 when the heap is exhausted) with nothing of the batch in force and the filter count
// at the number of records from the failing one on. Runs under the runtime lock; the caller has
// checked that the buffer holds the filter count's records.
std::int32_t apply_filter_batch(runtime_t& runtime) noexcept;

// One record applied to one part of a pending filter object: 0 or an error code.
// The set operations throw std::bad_alloc.
std::int32_t apply_range_set_operation(range_set_t& ranges, const tavo_filter_record_t& record);
std::int32_t apply_task_set_operation(set_t<std::uint64_t>& tasks, const tavo_filter_record_t& record);
std::int32_t apply_polarity_operation(filter_object_t& filter, const tavo_filter_record_t& record) noexcept;

// The record's dump line (logging bit 0x400) and status line (bit 0x2); `record` is its place in
// the filter buffer.
void log_filter_record(const tavo_filter_record_t* record);

}  // namespace tavo
