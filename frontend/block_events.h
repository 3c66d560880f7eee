// What the allocation interposers of every host tell the detector about the program's blocks.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "frontend/frontend.h"
#include "frontend/heap_blocks.h"
#include "frontend/threads.h"
#include "runtime/site_entries.h"
#include "task/task_context.h"

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

// The bytes the allocator gave with the block, which the program may grow into in place; 0 when
// the host cannot tell. Defined by each host's interposers.
std::size_t usable_size(void* block) noexcept;

inline void* block_received(void* block, std::size_t size, std::uint64_t site, bool wanted = true) noexcept {
    if (block == nullptr) return block;
    if (engaged_t engaged(wanted); engaged) {
        heap_block_allocated(block, size, reinterpret_cast<const void*>(site));
        // All the block holds, to the end of its last granule, which no other block shares (blocks
        // are 8-byte aligned): frees recorded there whole must not outlast it.
        const auto address = reinterpret_cast<std::uintptr_t>(block);
        const std::size_t held = std::max(size, usable_size(block));
        memory_block_from(block, ((address + held + 7) & ~std::uintptr_t{7}) - address, false, site);
    }
    return block;
}

// Before the block goes back, as a write of all of it, while engaged: once it has gone back,
// another thread may receive it and start recording. Its first KiB then keeps the free, granule by
// granule, as this thread's write at the free's site, so that a use after the free by a thread
// that nothing orders after it is reported; the block's next allocation forgets it. Beyond the
// first KiB the cost would grow with blocks the program may never have touched.
inline void block_releasing(void* block, std::size_t size, std::uint64_t site) noexcept {
    heap_block_freed(block);
    releasing_block = true;
    memory_block_from(block, size, true, site);
    releasing_block = false;
    // Only where a report can name the thread: in a thread's own task (type 3), or on the main
    // thread. A thread starting or ending frees in its record's initial task, which reports would
    // call the main thread's; and a thread whose record has gone must not get a new one.
    const thread_record_t* record = find_thread_record();
    const task_context_t* task = record != nullptr ? record->current_task : nullptr;
    if (task == nullptr || (task->type != 3 && current_thread() != 0)) return;
    free_site_noted(site);
    constexpr std::size_t kept_bytes = 1024;
    const auto* bytes = static_cast<const char*>(block);
    for (std::size_t offset = 0; offset < size && offset < kept_bytes; offset += 8)
        access(bytes + offset, size - offset < 8 ? size - offset : 8, write_access, site);
}

// Pages received or given back: whatever was recorded there is forgotten.
inline void mapping_forgotten(void* base, std::size_t size, std::uint64_t site, bool wanted = true) noexcept {
    if (engaged_t engaged(wanted); engaged) memory_block_from(base, size, false, site);
}

}  // namespace tavo::frontend
