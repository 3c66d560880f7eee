#include "runtime/memory.h"

#include <algorithm>
#include <bit>

#include "platform/platform.h"
#include "runtime/spin_lock.h"
#include "tsm/arena.h"

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

namespace tavo {

std::atomic<long> allocations_before_failure{-1};

namespace {

// Blocks of a power-of-two size, 16 bytes to 1 MiB, are carved from chunks mapped per size class
// and recycled through the class's free list under its lock; they are never given back to the
// system. Larger blocks are mapped and unmapped one by one. A freed block keeps its link in its
// first 16 bytes; under AddressSanitizer the rest of it, and the tail of a block beyond the size
// asked for, are poisoned.
constexpr unsigned smallest_shift = 4;
constexpr unsigned largest_shift = 20;
constexpr std::size_t smallest_chunk = 65536;
constexpr std::size_t blocks_per_chunk = 8;  // at least
constexpr std::size_t link_size = 16;

struct free_block_t {
    free_block_t* next;
};

struct size_class_t {
    free_block_t* free = nullptr;
    std::byte* unused = nullptr;  // the current chunk's blocks not handed out yet
    std::byte* end = nullptr;
    std::size_t mapped = 0;  // bytes of the chunks so far
    std::uint8_t lock = 0;
};

// Constant-initialised: allocations come before any of the library's constructors run.
size_class_t size_classes[largest_shift - smallest_shift + 1];

unsigned class_shift(std::size_t size) noexcept {
    if (size <= std::size_t{1} << smallest_shift) return smallest_shift;
    return static_cast<unsigned>(std::bit_width(size - 1));
}

bool failure_injected() noexcept {
    long remaining = allocations_before_failure.load(std::memory_order_relaxed);
    while (remaining >= 0) {
        if (allocations_before_failure.compare_exchange_weak(remaining, remaining - 1, std::memory_order_relaxed))
            return remaining == 0;
    }
    return false;
}

void* take_block(size_class_t& sizes, std::size_t block) noexcept {
    spin_guard_t guard(sizes.lock);
    if (free_block_t* recycled = sizes.free) {
        sizes.free = recycled->next;
        return recycled;
    }
    if (sizes.unused == sizes.end) {
        std::size_t chunk = std::max(smallest_chunk, block * blocks_per_chunk);
        std::byte* mapped = nullptr;
        // Arena segments are written through soon after they are taken: on huge pages, where the
        // system offers them, that costs one fault per huge page rather than one per page. Only
        // once a huge page's worth is in use, so that a process with few segments keeps its size.
        if (block == arena_segment_size && sizes.mapped >= platform::huge_page_size) {
            mapped = static_cast<std::byte*>(platform::map_huge_memory(platform::huge_page_size));
            if (mapped != nullptr) chunk = platform::huge_page_size;
        }
        if (mapped == nullptr) mapped = static_cast<std::byte*>(platform::map_memory(chunk));
        if (mapped == nullptr) return nullptr;
        ASAN_POISON_MEMORY_REGION(mapped, chunk);
        sizes.mapped += chunk;
        sizes.unused = mapped;
        sizes.end = mapped + chunk;
    }
    void* carved = sizes.unused;
    sizes.unused += block;
    return carved;
}

}  // namespace

void* heap_allocate(std::size_t size) noexcept {
    if (allocations_before_failure.load(std::memory_order_relaxed) >= 0 && failure_injected()) [[unlikely]]
        return nullptr;
    const unsigned shift = class_shift(size);
    if (shift > largest_shift) return platform::map_memory(size);
    void* memory = take_block(size_classes[shift - smallest_shift], std::size_t{1} << shift);
    ASAN_UNPOISON_MEMORY_REGION(memory, memory != nullptr ? size : 0);
    return memory;
}

void heap_free(void* memory, std::size_t size) noexcept {
    if (memory == nullptr) return;
    const unsigned shift = class_shift(size);
    if (shift > largest_shift) return platform::unmap_memory(memory, size);
    size_class_t& sizes = size_classes[shift - smallest_shift];
    ASAN_UNPOISON_MEMORY_REGION(memory, link_size);
    ASAN_POISON_MEMORY_REGION(static_cast<std::byte*>(memory) + link_size, (std::size_t{1} << shift) - link_size);
    spin_guard_t guard(sizes.lock);
    sizes.free = new (memory) free_block_t{sizes.free};
}

}  // namespace tavo
