// What a task's entry in a shadow cell holds: one list of access records per access type.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>

namespace tavo {

namespace access_type {
constexpr std::uint32_t read = 0;
constexpr std::uint32_t write = 1;
constexpr std::uint32_t update = 2;
constexpr std::uint32_t atomic = 3;
// Beyond the four types of the exported entries, for front ends: an atomic load, which only a
// plain write or update can race with.
constexpr std::uint32_t atomic_read = 4;
constexpr std::uint32_t count = 5;
}  // namespace access_type

// Reads tolerate reads, and atomic updates tolerate atomic updates; atomic reads tolerate every
// access but a plain modification; every other pair conflicts.
constexpr bool access_types_conflict(std::uint32_t current, std::uint32_t earlier) noexcept {
    constexpr std::uint32_t modifications = 1u << access_type::write | 1u << access_type::update;
    constexpr std::uint32_t conflicts[access_type::count] = {
        modifications | 1u << access_type::atomic,  // read
        ~0u,                                        // write
        ~0u,                                        // update
        modifications | 1u << access_type::read,    // atomic
        modifications,                              // atomic read
    };
    return (conflicts[current] >> earlier & 1) != 0;
}

// Where an access lies within one granule and where the whole access starts. Two records stand for
// the same access in a granule exactly when their words are equal.
struct position_t {
    std::uint8_t offset;         // first byte within the granule; 0 in every granule after the first
    std::uint8_t length;         // bytes within the granule, 1 to 8
    std::uint8_t back_distance;  // (granule - start of the access) mod 256
    std::uint8_t total_size;     // size of the whole access, 1 to 255

    constexpr std::uint32_t word() const noexcept { return std::bit_cast<std::uint32_t>(*this); }
    // The word of an access of `size` bytes that lies within one granule at `offset`.
    static constexpr std::uint32_t single_granule_word(std::uint32_t offset, std::uint32_t size) noexcept {
        static_assert(std::endian::native == std::endian::little);
        return offset | size << 8 | ((0u - offset) & 0xFF) << 16 | size << 24;
    }
    std::uint64_t start_address(std::uint64_t granule) const noexcept {
        return offset != 0 ? granule + offset : granule - back_distance;
    }
    // Offsets equal, or each range starting before the other one ends.
    bool shares_byte_with(const position_t& other) const noexcept {
        return offset == other.offset ||
               (offset < other.offset + other.length && other.offset < offset + length);
    }
};
static_assert(sizeof(position_t) == 4);
static_assert(position_t::single_granule_word(5, 3) == position_t{5, 3, 251, 3}.word());

// No task's time (times start at 1): the time of a record that was forgotten in place, which orders
// it before every access of every task.
constexpr std::uint64_t forgotten_time = 0;

// From the task's arena. Readers of other tasks follow `next` and read `time` while the owner
// refreshes; `position` never changes after the record is published, and `site` only when the
// owner refreshes a forgotten record: it is stored before the time, and read after it.
struct access_record_t {
    access_record_t* next;  // older record of the same list
    std::uint64_t time;     // the task's time when the record was made or last refreshed
    std::uint32_t site;     // site_table_t index of the call site and access_history when the record was made
    position_t position;
};
static_assert(sizeof(access_record_t) == 24);

// A task's lists in a cell. Each list runs newest first: the records that hold the owner's time
// lead it, in the order they took that time, and the older ones follow as they stood. The owner
// puts a new or refreshed record right after the last record of its time, so readers always find
// records of non-increasing time, apart from a refresh racing with the reader; records forgotten
// in place may lie anywhere. Readers take the records of one time last first, as from a list that
// had put each one at its front.
struct access_lists_t {
    access_record_t* heads[access_type::count];
};

// The value of a task's entry in a cell: the address of its lists or, while the task has made one
// record there, that record inline: its time, interned call site and access type, tagged by bit 0
// (the slot keeps its position). The owner replaces an inline record by lists that hold it, fully
// built before the value is stored; a reader that loaded the inline record meanwhile sees the entry
// as it was a moment before. A record whose time does not fit starts in lists.
// A release of the whole granule forgets every record in lists at once, by setting bit 1 of the
// address (lists_forgotten): readers take such an entry for one whose records are all forgotten,
// whatever times the records hold. Before it records there again, the owner forgets them in place
// and then stores the address without the bit (sequentially consistent, so a reader that loads it
// finds the records forgotten); a release may set the bit again at any time.
constexpr unsigned inline_site_bits = 26;  // every index the site table hands out
constexpr unsigned inline_time_shift = 4 + inline_site_bits;
constexpr bool fits_inline(std::uint64_t time) noexcept { return time >> (64 - inline_time_shift) == 0; }
constexpr std::uint64_t inline_record(std::uint64_t time, std::uint32_t type, std::uint32_t site) noexcept {
    return time << inline_time_shift | std::uint64_t{site} << 4 | std::uint64_t{type} << 1 | 1;
}
constexpr bool is_inline(std::uint64_t value) noexcept { return (value & 1) != 0; }
constexpr std::uint64_t inline_time(std::uint64_t value) noexcept { return value >> inline_time_shift; }
constexpr std::uint32_t inline_type(std::uint64_t value) noexcept { return static_cast<std::uint32_t>(value >> 1 & 7); }
constexpr std::uint32_t inline_site(std::uint64_t value) noexcept {
    return static_cast<std::uint32_t>(value >> 4) & ((1u << inline_site_bits) - 1);
}

constexpr std::uint64_t lists_forgotten = 2;
constexpr bool all_forgotten_lists(std::uint64_t value) noexcept { return (value & 3) == lists_forgotten; }
inline access_lists_t* lists_of(std::uint64_t value) noexcept {
    return reinterpret_cast<access_lists_t*>(value & ~lists_forgotten);
}

// The head of a list of entry lists (not inline).
inline access_record_t* entry_head(std::uint64_t value, std::uint32_t type,
                                   std::memory_order order = std::memory_order_seq_cst) noexcept {
    return std::atomic_ref<access_record_t*>(lists_of(value)->heads[type]).load(order);
}
// The record after `record`, as the lists' owner reads it: no other task links records there.
inline access_record_t* owned_next(access_record_t* record) noexcept {
    return std::atomic_ref<access_record_t*>(record->next).load(std::memory_order_relaxed);
}

}  // namespace tavo
