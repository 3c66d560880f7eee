#include "tsm/arena.h"

#include <atomic>
#include <new>

#include "platform/platform.h"
#include "runtime/errors.h"
#include "runtime/memory.h"

namespace tavo {

namespace {

std::atomic_ref<arena_segment_t*> current_of(arena_segment_t*& current) {
    return std::atomic_ref<arena_segment_t*>(current);
}

}  // namespace

void* arena_t::allocate(std::size_t size) noexcept {
    std::int32_t error_code = 0;
    void* memory = allocate_unreported(size, error_code);
    if (memory == nullptr) raise_system_error_at_thread_site(error_code);
    return memory;
}

void* arena_t::allocate_unreported(std::size_t size, std::int32_t& error_code) noexcept {
    if (size == 0 || size > arena_area_size) {
        error_code = error::internal;
        return nullptr;
    }
    // A claim is rounded up, but it fits when the bytes asked for fit: the area is not a multiple
    // of 8, and a request of the full 65,524 bytes must be served by an empty segment rather than
    // install segment after segment.
    const auto claim = static_cast<std::uint32_t>((size + 7) & ~std::size_t{7});
    for (;;) {
        arena_segment_t* segment = current_of(current_).load(std::memory_order_acquire);
        const std::uint32_t offset =
            std::atomic_ref<std::uint32_t>(segment->used).fetch_add(claim, std::memory_order_relaxed);
        if (std::uint64_t{offset} + size <= arena_area_size) return segment->area + offset;
        if (!install_segment_after(segment)) {
            error_code = error::out_of_memory;
            return nullptr;
        }
    }
}

bool arena_t::install_segment_after(arena_segment_t* exhausted) noexcept {
    const auto installed = [&] { return current_of(current_).load(std::memory_order_acquire) != exhausted; };
    std::atomic_ref<std::uint32_t> held(heap_segments_);
    if (installed()) return true;
    if (held.load(std::memory_order_relaxed) >= std::atomic_ref<std::uint32_t>(heap_segments_allowed_).load(std::memory_order_relaxed))
        return false;
    // No lock: a claimer that waited for one while its holder was preempted would spin away its
    // time slice. Of those that find the segment exhausted at once, one installs its own.
    void* memory = heap_allocate(sizeof(arena_segment_t));
    if (memory == nullptr) return installed();
    auto* segment = new (memory) arena_segment_t;
    segment->used = 0;
    segment->previous = exhausted;
    if (arena_segment_t* expected = exhausted; !current_of(current_).compare_exchange_strong(expected, segment)) {
        heap_free(segment, sizeof(arena_segment_t));
        return true;
    }
    held.fetch_add(1, std::memory_order_relaxed);
    // A claimer that writes before the pages are backed faults its page in.
    if (populate_) platform::populate_memory(segment, sizeof(arena_segment_t));
    return true;
}

void arena_t::rewind() noexcept {
    while (current_->previous != nullptr) {
        arena_segment_t* freed = current_;
        current_ = freed->previous;
        heap_free(freed, sizeof(arena_segment_t));
    }
    current_->used = 0;
    heap_segments_ = 0;
}

void arena_t::limit_heap_segments(std::uint32_t count) noexcept {
    std::atomic_ref<std::uint32_t>(heap_segments_allowed_).store(count, std::memory_order_relaxed);
}

std::size_t arena_t::segment_count() const noexcept {
    std::size_t count = 0;
    auto& current = const_cast<arena_segment_t*&>(current_);
    for (const arena_segment_t* segment = current_of(current).load(std::memory_order_acquire); segment != nullptr;
         segment = segment->previous)
        ++count;
    return count;
}

scratch_arena_t::~scratch_arena_t() {
    if (arena_ == nullptr) return;
    arena_->~arena_t();
    heap_free(arena_, sizeof(arena_t));
}

void* scratch_arena_t::allocate_unreported(std::size_t size, std::int32_t& error_code) noexcept {
    if (arena_ == nullptr) {
        void* memory = heap_allocate(sizeof(arena_t));
        if (memory == nullptr) {
            error_code = error::out_of_memory;
            return nullptr;
        }
        arena_ = new (memory) arena_t;
    }
    return arena_->allocate_unreported(size, error_code);
}

}  // namespace tavo
