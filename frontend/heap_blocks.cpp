#include "frontend/heap_blocks.h"

#include <atomic>

#include "frontend/thread_stack.h"
#include "frontend/threads.h"
#include "platform/platform.h"
#include "runtime/spin_lock.h"

namespace tavo::frontend {

namespace {

// Live blocks by base address, in shards of open addressing under a spin lock each; a shard's table
// doubles when half full. Memory comes from the system: these run inside the program's malloc.
struct shard_t {
    std::uint8_t lock = 0;
    heap_block_t* table = nullptr;  // base 0: free
    std::size_t capacity = 0;
    std::size_t count = 0;
};
constexpr std::size_t shard_count = 64;
shard_t shards[shard_count];

std::size_t mix(std::uint64_t base) noexcept { return static_cast<std::size_t>((base >> 4) * 0x9E3779B97F4A7C15ull >> 20); }
shard_t& shard_of(std::uint64_t base) noexcept { return shards[mix(base) % shard_count]; }
std::size_t home_of(std::uint64_t base, std::size_t capacity) noexcept { return (mix(base) / shard_count) & (capacity - 1); }

void place(heap_block_t* table, std::size_t capacity, const heap_block_t& block) noexcept {
    std::size_t index = home_of(block.base, capacity);
    while (table[index].base != 0 && table[index].base != block.base) index = (index + 1) & (capacity - 1);
    table[index] = block;
}

bool grow(shard_t& shard) noexcept {
    const std::size_t capacity = shard.capacity == 0 ? 1024 : shard.capacity * 2;
    void* memory = platform::map_memory(capacity * sizeof(heap_block_t));
    if (memory == nullptr) return false;
    auto* table = static_cast<heap_block_t*>(memory);
    for (std::size_t index = 0; index < shard.capacity; ++index)
        if (shard.table[index].base != 0) place(table, capacity, shard.table[index]);
    if (shard.table != nullptr) platform::unmap_memory(shard.table, shard.capacity * sizeof(heap_block_t));
    shard.table = table;
    shard.capacity = capacity;
    return true;
}

}  // namespace

void heap_block_allocated(void* base, std::size_t size, const void* caller_pc) noexcept {
    if (base == nullptr) return;
    const auto address = reinterpret_cast<std::uintptr_t>(base);
    const heap_block_t block{address, size, current_thread(), stack_at(reinterpret_cast<std::uintptr_t>(caller_pc))};
    shard_t& shard = shard_of(address);
    spin_guard_t guard(shard.lock);
    // A full shard that cannot grow leaves the block undescribed.
    if ((shard.count + 1) * 2 > shard.capacity && !grow(shard)) return;
    std::size_t index = home_of(address, shard.capacity);
    while (shard.table[index].base != 0 && shard.table[index].base != address) index = (index + 1) & (shard.capacity - 1);
    shard.count += shard.table[index].base == 0;
    shard.table[index] = block;
}

void heap_block_freed(void* base) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(base);
    if (address == 0) return;
    shard_t& shard = shard_of(address);
    spin_guard_t guard(shard.lock);
    if (shard.capacity == 0) return;
    const std::size_t mask = shard.capacity - 1;
    std::size_t hole = home_of(address, shard.capacity);
    while (shard.table[hole].base != address) {
        if (shard.table[hole].base == 0) return;
        hole = (hole + 1) & mask;
    }
    // Backward-shift deletion keeps every probe chain unbroken.
    for (std::size_t next = (hole + 1) & mask; shard.table[next].base != 0; next = (next + 1) & mask) {
        const std::size_t home = home_of(shard.table[next].base, shard.capacity);
        const bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
        if (movable) {
            shard.table[hole] = shard.table[next];
            hole = next;
        }
    }
    shard.table[hole].base = 0;
    --shard.count;
}

namespace {
// Open addressing, insert-only: a free site stays one. When the table is full a free goes unnamed
// and its reports say "write" instead.
constexpr std::size_t free_site_capacity = 4096;
std::atomic<std::uint64_t> free_sites[free_site_capacity];

std::atomic<std::uint64_t>* free_site_slot(std::uint64_t site) noexcept {
    for (std::size_t probe = 0, index = mix(site); probe < free_site_capacity; ++probe, ++index) {
        std::atomic<std::uint64_t>& slot = free_sites[index % free_site_capacity];
        const std::uint64_t held = slot.load(std::memory_order_relaxed);
        if (held == site || held == 0) return &slot;
    }
    return nullptr;
}
}  // namespace

void free_site_noted(std::uint64_t site) noexcept {
    while (std::atomic<std::uint64_t>* slot = free_site_slot(site)) {
        std::uint64_t held = 0;
        if (slot->compare_exchange_strong(held, site, std::memory_order_relaxed) || held == site) return;
    }
}

bool is_free_site(std::uint64_t site) noexcept {
    const std::atomic<std::uint64_t>* slot = site != 0 ? free_site_slot(site) : nullptr;
    return slot != nullptr && slot->load(std::memory_order_relaxed) == site;
}

bool heap_block_containing(std::uint64_t address, heap_block_t& block) noexcept {
    for (shard_t& shard : shards) {
        spin_guard_t guard(shard.lock);
        for (std::size_t index = 0; index < shard.capacity; ++index) {
            const heap_block_t& candidate = shard.table[index];
            if (candidate.base != 0 && address >= candidate.base && address - candidate.base < (candidate.size ? candidate.size : 1)) {
                block = candidate;
                return true;
            }
        }
    }
    return false;
}

std::size_t heap_blocks_held() noexcept {
    std::size_t held = 0;
    for (shard_t& shard : shards) {
        spin_guard_t guard(shard.lock);
        held += shard.count;
    }
    return held;
}

}  // namespace tavo::frontend
