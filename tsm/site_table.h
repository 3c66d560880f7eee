// The call sites of shadow cells' inline records, interned: a cell keeps a 32-bit index for the
// call site and history of the record it holds, and the descriptors that the debugger reads are
// built from the entry the index names.
#pragma once

#include <atomic>
#include <cstdint>

#include "tsm/access_record.h"

namespace tavo {

struct interned_site_t {
    std::uint64_t site;
    std::uint32_t history;
    std::uint32_t older;  // index + 1 of the next entry of the same hash chain; 0 at its end
};

constexpr unsigned site_chunk_shift = 12;  // 4,096 entries (64 KiB) per chunk
constexpr unsigned site_chunk_count = 16384;
constexpr unsigned site_chain_count = 4096;
static_assert(std::uint64_t{site_chunk_count} << site_chunk_shift == std::uint64_t{1} << inline_site_bits);

// Protocol. Lookups (`find`, `at`) take no lock. An entry is written once, in a chunk that was
// published zero-filled by a release store, and is then made reachable by the release store of
// its chain head, under the table's lock after the chain was walked again, so one pair is
// interned once. An index reaches other threads only through stores that follow that publication
// (a cell slot, published by its value), so whoever holds an index can read its entry. Entries
// never change nor go away before the table does: indexes outlive resets of shadow memory.
class site_table_t {
public:
    site_table_t() noexcept = default;
    ~site_table_t();
    site_table_t(const site_table_t&) = delete;
    site_table_t& operator=(const site_table_t&) = delete;

    // The index of (site, history), interned on first sight. False with -9998 in `error_code` when
    // no chunk could be had or every index is taken.
    bool intern(std::uint64_t site, std::uint32_t history, std::uint32_t& index, std::int32_t& error_code) noexcept;

    const interned_site_t& at(std::uint32_t index) const noexcept {
        const interned_site_t* chunk = std::atomic_ref<interned_site_t* const>(chunks_[index >> site_chunk_shift])
                                           .load(std::memory_order_acquire);
        return chunk[index & ((1u << site_chunk_shift) - 1)];
    }

    std::uint32_t size() const noexcept { return std::atomic_ref<const std::uint32_t>(count_).load(std::memory_order_acquire); }

private:
    static unsigned chain_of(std::uint64_t site, std::uint32_t history) noexcept {
        const std::uint64_t mixed = (site ^ (std::uint64_t{history} << 32 | history)) * 0x9E3779B97F4A7C15u;
        return static_cast<unsigned>(mixed >> 52);  // 12 bits: site_chain_count
    }
    bool find(unsigned chain, std::uint64_t site, std::uint32_t history, std::uint32_t& index) const noexcept;

    std::uint32_t chains_[site_chain_count] = {};
    interned_site_t* chunks_[site_chunk_count] = {};
    std::uint32_t count_ = 0;
    std::uint8_t lock_ = 0;
};

}  // namespace tavo
