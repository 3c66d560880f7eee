#include "tsm/site_table.h"

#include <cstring>

#include "runtime/errors.h"
#include "runtime/memory.h"
#include "runtime/spin_lock.h"

namespace tavo {

namespace {
constexpr std::size_t chunk_bytes = sizeof(interned_site_t) << site_chunk_shift;
}  // namespace

site_table_t::~site_table_t() {
    for (interned_site_t* chunk : chunks_) heap_free(chunk, chunk_bytes);
}

bool site_table_t::find(unsigned chain, std::uint64_t site, std::uint32_t history, std::uint32_t& index) const noexcept {
    for (std::uint32_t link = std::atomic_ref<const std::uint32_t>(chains_[chain]).load(std::memory_order_acquire);
         link != 0;) {
        const interned_site_t& entry = at(link - 1);
        if (entry.site == site && entry.history == history) {
            index = link - 1;
            return true;
        }
        link = entry.older;
    }
    return false;
}

bool site_table_t::intern(std::uint64_t site, std::uint32_t history, std::uint32_t& index,
                          std::int32_t& error_code) noexcept {
    const unsigned chain = chain_of(site, history);
    if (find(chain, site, history, index)) return true;
    spin_guard_t guard(lock_);
    if (find(chain, site, history, index)) return true;
    const std::uint32_t fresh = count_;
    if (fresh >> site_chunk_shift >= site_chunk_count) {
        error_code = error::out_of_memory;
        return false;
    }
    interned_site_t*& chunk = chunks_[fresh >> site_chunk_shift];
    if ((fresh & ((1u << site_chunk_shift) - 1)) == 0) {
        void* memory = heap_allocate(chunk_bytes);
        if (memory == nullptr) {
            error_code = error::out_of_memory;
            return false;
        }
        std::memset(memory, 0, chunk_bytes);
        std::atomic_ref<interned_site_t*>(chunk).store(static_cast<interned_site_t*>(memory), std::memory_order_release);
    }
    chunk[fresh & ((1u << site_chunk_shift) - 1)] = {site, history, chains_[chain]};
    std::atomic_ref<std::uint32_t>(count_).store(fresh + 1, std::memory_order_release);
    std::atomic_ref<std::uint32_t>(chains_[chain]).store(fresh + 1, std::memory_order_release);
    index = fresh;
    return true;
}

}  // namespace tavo
