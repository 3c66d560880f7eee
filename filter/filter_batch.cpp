#include "filter/filter_batch.h"

#include "runtime/errors.h"
#include "runtime/runtime.h"

namespace tavo {

// Filter records are not understood yet: only an empty batch succeeds.
std::int32_t apply_filter_batch(runtime_t&) noexcept {
    return __tavo_config.filter_count == 0 ? 0 : error::bad_filter_operation;
}

}  // namespace tavo
