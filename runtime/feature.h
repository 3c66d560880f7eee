#pragma once

#include <atomic>
#include <cstdint>

namespace tavo {

struct filter_object_t;
class runtime_t;

// Base of the two detectors. The debugger addresses them by their index in the feature table.
class feature_t {
public:
    explicit feature_t(runtime_t* owner) noexcept : runtime(owner) {}
    feature_t(const feature_t&) = delete;
    feature_t& operator=(const feature_t&) = delete;

    virtual void start(std::uint8_t* runtime_lock) noexcept { (void)runtime_lock; }
    // Drops everything the detector has gathered; runs under the runtime lock.
    virtual void reset() noexcept = 0;
    virtual ~feature_t() = default;

    // Installed filters are immutable and replaced by a single pointer store; detectors read
    // them without a lock.
    std::atomic<const filter_object_t*> filter{nullptr};
    runtime_t* runtime;
    std::uint8_t lock = 0;
};

}  // namespace tavo
