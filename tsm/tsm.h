#pragma once

#include "runtime/feature.h"

namespace tavo {

// The data-sharing detector.
class tsm_t final : public feature_t {
public:
    using feature_t::feature_t;
    void reset() noexcept override {}
};

}  // namespace tavo
