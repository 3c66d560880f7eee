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

// A record's key: its position packed (offset, length - 1, back distance, total size: bits 0 to 21)
// and its type (22 to 24), which together name the record in its entry; the interned call site
// and access history (25 to 50); and its turn (51 to 63), the count of records that had taken a
// time in the entry before it took its own, modulo 8192.
constexpr unsigned key_type_shift = 22;
constexpr unsigned key_site_shift = 25;
constexpr unsigned key_turn_shift = 51;
constexpr std::uint64_t key_match_bits = (std::uint64_t{1} << key_site_shift) - 1;
constexpr std::uint32_t turn_mask = (1u << (64 - key_turn_shift)) - 1;

constexpr std::uint64_t record_match(std::uint32_t type, std::uint32_t word) noexcept {
    return (word & 7) | (((word >> 8) - 1) & 7) << 3 | ((word >> 16) & 0xFF) << 6 | (word >> 24) << 14 |
           std::uint64_t{type} << key_type_shift;
}
constexpr std::uint32_t key_type(std::uint64_t key) noexcept { return (key >> key_type_shift) & 7; }
constexpr std::uint32_t key_site(std::uint64_t key) noexcept {
    return static_cast<std::uint32_t>(key >> key_site_shift) & ((1u << (key_turn_shift - key_site_shift)) - 1);
}
constexpr std::uint32_t key_turn(std::uint64_t key) noexcept { return static_cast<std::uint32_t>(key >> key_turn_shift); }
// The key of a record of `match` (record_match), interned `site` and `turn`, taken modulo 8192.
constexpr std::uint64_t record_key(std::uint64_t match, std::uint32_t site, std::uint32_t turn) noexcept {
    return match | std::uint64_t{site} << key_site_shift | std::uint64_t{turn & turn_mask} << key_turn_shift;
}
constexpr position_t key_position(std::uint64_t key) noexcept {
    return {static_cast<std::uint8_t>(key & 7), static_cast<std::uint8_t>(((key >> 3) & 7) + 1), static_cast<std::uint8_t>(key >> 6),
            static_cast<std::uint8_t>(key >> 14)};
}
static_assert(key_position(record_match(2, position_t{5, 3, 251, 3}.word())).word() == position_t{5, 3, 251, 3}.word());

// Whether the record that took (time, turn) took it before the one that took (other_time,
// other_turn), of the same entry. Fewer than 4096 records of an entry take one time between two
// of them.
constexpr bool took_before(std::uint64_t time, std::uint32_t turn, std::uint64_t other_time, std::uint32_t other_turn) noexcept {
    return time != other_time ? time < other_time : ((turn - other_turn) & (turn_mask + 1) / 2) != 0;
}

// Readers of other tasks read `time` while the owner refreshes, then `key`: the owner stores the
// key (a new turn, and a new site when the record was forgotten) before the time. The key's
// position and type never change after the record is published.
struct access_record_t {
    std::uint64_t time;  // the task's time when the record was made or last refreshed
    std::uint64_t key;
};
static_assert(sizeof(access_record_t) == 16);

// A task's records in a cell, in one block from its arena, in the order they were made; their turns
// tell the order in which they took their times. A full block grows into one of the next class:
// the owner copies the records into it and replaces the entry's value, so a reader finds them in
// either. Beyond the largest class, blocks chain: the value names the newest, which holds the turn
// count.
//
// Protocol. Only the owner writes a block but for the times a release forgets. It fills a record
// beyond the count and then stores the count (sequentially consistent), and never moves a
// published record within its block. Readers load the count, then each record's time, then its
// key. A release forgets records in place in the block the value names, and goes on until the
// value names the block it forgot in (or the records are all forgotten); an owner that copied
// records into a new block forgets there, after storing the value, those that it finds forgotten
// in the old one. So a forget is never lost to a copy. The block left behind is used again only
// if no reader held a pin on the slot once the value was stored: a later reader finds the new one.
struct record_block_t {
    std::uint32_t count;
    std::uint8_t size_class;
    std::uint16_t turns;    // the next turn; the owner's
    record_block_t* older;  // a full block of the largest class, or null

    access_record_t* records() noexcept { return reinterpret_cast<access_record_t*>(this + 1); }
    std::uint32_t published() const noexcept {
        return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t&>(count)).load();
    }
};
static_assert(sizeof(record_block_t) == 16);
// Capacities 4, 6, 8, 12, 16 ... 3072 records: a grown block fills at least two thirds of what it
// takes, and a first one, which holds two records at least, leaves two slots at most unused.
constexpr unsigned block_class_count = 20;
constexpr std::uint32_t block_capacity(unsigned size_class) noexcept { return (2u | (size_class & 1)) << (size_class / 2 + 1); }
constexpr std::size_t block_bytes(unsigned size_class) noexcept {
    return sizeof(record_block_t) + block_capacity(size_class) * sizeof(access_record_t);
}
static_assert(block_bytes(block_class_count - 1) <= 65524, "a block fits an arena segment");

// The value of a task's entry in a cell: the address of its block or, while the task has made one
// record there, that record inline: its time, interned call site and access type, tagged by bit 0
// (the slot keeps its position). The owner replaces an inline record by a block that holds it,
// fully built before the value is stored; a reader that loaded the inline record meanwhile sees
// the entry as it was a moment before. A record whose time does not fit starts in a block.
// A release of the whole granule forgets every record in blocks at once, by setting bit 1 of the
// address (blocks_forgotten): readers take such an entry for one whose records are all forgotten,
// whatever times the records hold. Before it records there again, the owner forgets them in place
// and then stores the address without the bit (sequentially consistent, so a reader that loads it
// finds the records forgotten); a release may set the bit again at any time.
constexpr unsigned inline_site_bits = 26;  // every index the site table hands out
constexpr unsigned inline_time_shift = 4 + inline_site_bits;
static_assert(key_turn_shift - key_site_shift == inline_site_bits, "a key holds every site index");
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

constexpr std::uint64_t blocks_forgotten = 2;
constexpr bool all_forgotten_blocks(std::uint64_t value) noexcept { return (value & 3) == blocks_forgotten; }
inline record_block_t* block_of(std::uint64_t value) noexcept {
    return reinterpret_cast<record_block_t*>(value & ~blocks_forgotten);
}

// visit(record) for every published record of the entry's blocks (not inline), newest block first.
template <class Visit>
void each_record(std::uint64_t value, Visit&& visit) noexcept {
    for (record_block_t* block = block_of(value); block != nullptr; block = block->older) {
        access_record_t* records = block->records();
        for (std::uint32_t index = 0, count = block->published(); index < count; ++index) visit(records[index]);
    }
}

}  // namespace tavo
