// What the allocation interposers of every host tell the detector about the program's blocks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "frontend/frontend.h"
#include "frontend/heap_blocks.h"
#include "runtime/site_entries.h"

namespace tavo::frontend {

// Set while this thread is inside the detector on behalf of an interposer: whatever the detector,
// the reporter or the symbolizer allocate meanwhile goes straight to the allocator. Defined by
// each host's interposers.
extern thread_local __attribute__((tls_model("initial-exec"))) bool inside_detector;

// The detector is told only once the front end is ready, never from inside itself, and not when
// the interposer says the call is none of the program's business.
class engaged_t {
public:
    explicit engaged_t(bool wanted = true) noexcept
        : engaged_(wanted && !inside_detector && ready.load(std::memory_order_relaxed)) {
        if (engaged_) inside_detector = true;
    }
    ~engaged_t() {
        if (engaged_) inside_detector = false;
    }
    engaged_t(const engaged_t&) = delete;
    engaged_t& operator=(const engaged_t&) = delete;
    explicit operator bool() const noexcept { return engaged_; }

private:
    inside_library_t inside_;  // first: it outlasts the flag
    bool engaged_;
};

inline void* block_received(void* block, std::size_t size, std::uint64_t site, bool wanted = true) noexcept {
    if (block == nullptr) return block;
    if (engaged_t engaged(wanted); engaged) {
        heap_block_allocated(block, size, reinterpret_cast<const void*>(site));
        memory_block_from(block, size, false, site);
    }
    return block;
}

// Before the block goes back, as a write of all of it, while engaged: once it has gone back,
// another thread may receive it and start recording.
inline void block_releasing(void* block, std::size_t size, std::uint64_t site) noexcept {
    heap_block_freed(block);
    releasing_block = true;
    memory_block_from(block, size, true, site);
    releasing_block = false;
}

// Pages received or given back: whatever was recorded there is forgotten.
inline void mapping_forgotten(void* base, std::size_t size, std::uint64_t site, bool wanted = true) noexcept {
    if (engaged_t engaged(wanted); engaged) memory_block_from(base, size, false, site);
}

}  // namespace tavo::frontend
