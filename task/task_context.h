#pragma once

#include <cstdint>

#include "runtime/log.h"

namespace tavo {

// A task the program entered: its identity as the program names it and its handle.
struct task_context_t {
    std::int32_t type;
    std::uint64_t id;
    std::uint16_t handle;

    task_label_t label() const noexcept { return {type, id, handle}; }
};

}  // namespace tavo
