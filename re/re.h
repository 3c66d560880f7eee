#pragma once

#include "runtime/feature.h"

namespace tavo {

struct task_context_t;

// The reentrant-call detector.
class re_t final : public feature_t {
public:
    using feature_t::feature_t;
    void reset() noexcept override {}
    // A task ended: nothing it did may be compared with anything again.
    void forget_task(task_context_t&) noexcept {}
};

}  // namespace tavo
