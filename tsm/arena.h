// Bump allocation over 64 KiB segments for the records made per event, which are never freed one
// by one: an arena gives memory back only as a whole, by rewinding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo {

constexpr std::size_t arena_segment_size = 65536;
constexpr std::uint32_t arena_area_size = 65524;

struct arena_segment_t {
    std::byte area[arena_area_size];
    // Offset of the next free byte; may stand above the area size after a claim that did not fit.
    std::uint32_t used;
    // The segment that was current before this one; null in an arena's embedded first segment.
    arena_segment_t* previous;
};
static_assert(sizeof(arena_segment_t) == arena_segment_size);
static_assert(offsetof(arena_segment_t, used) == 65524);
static_assert(offsetof(arena_segment_t, previous) == 65528);

// Protocol. Any number of threads allocate at once. A claim reads the current segment and adds
// its size, taken up to a multiple of 8, to the segment's used counter (one fetch-and-add, no
// lock); it succeeds when the requested bytes lie inside the area. A claim that does not fit
// leaves the counter above the area, so the segment's tail is never handed out. Unless another
// thread already replaced the exhausted segment, it takes a heap segment and installs it by a
// compare-and-swap of the current segment from the exhausted one, freeing it again when another
// thread won; either way the claim starts over. So one exhaustion installs exactly one segment.
// Invariants: the segments chain from the current one through `previous` down to the embedded
// first segment; used counters only grow between rewinds and move by multiples of 8, so every
// allocation is 8-aligned; memory stays valid until the arena is rewound or destroyed.
//
// The first segment is embedded, so an arena that is a local variable is a scratch arena over
// its caller's stack frame; its destructor frees the heap segments the call took. Constructing an
// arena touches no heap and does not clear the area.
class arena_t {
public:
    // A populating arena backs each heap segment's pages when it installs it: for one whose
    // segments fill up.
    enum populating_t : bool { lazy, populating };
    explicit arena_t(populating_t populate = lazy) noexcept : current_(&first_), populate_(populate) {
        first_.used = 0;
        first_.previous = nullptr;
    }
    ~arena_t() { rewind(); }
    arena_t(const arena_t&) = delete;
    arena_t& operator=(const arena_t&) = delete;

    // `size` bytes, not cleared, or null after raising -9999 (size 0 or above 65,524) or -9998
    // (no heap segment) at the calling thread's site.
    void* allocate(std::size_t size) noexcept;
    // The same without raising: on failure `error_code` receives the code and the caller reports
    // it once it holds no lock of its own. No lock of the arena is held when this returns.
    void* allocate_unreported(std::size_t size, std::int32_t& error_code) noexcept;

    // Frees every heap segment and empties the first. Only while no other thread allocates from
    // the arena or uses its memory.
    void rewind() noexcept;

    // Caps the heap segments the arena may hold at once; past it a claim fails as on an exhausted
    // heap. Unlimited unless set.
    void limit_heap_segments(std::uint32_t count) noexcept;

    // Segments in the chain, the first included.
    std::size_t segment_count() const noexcept;

private:
    bool install_segment_after(arena_segment_t* exhausted) noexcept;

    arena_segment_t first_;
    arena_segment_t* current_;
    bool populate_;
    std::uint32_t heap_segments_allowed_ = UINT32_MAX;
    std::uint32_t heap_segments_ = 0;
};

// An arena for one call's own records, whose first segment comes from the heap at the first claim
// rather than from the caller's stack: a call may run on a small stack (a thread made with one, a
// signal handler on its alternate stack), and most calls claim nothing.
class scratch_arena_t {
public:
    scratch_arena_t() noexcept = default;
    ~scratch_arena_t();
    scratch_arena_t(const scratch_arena_t&) = delete;
    scratch_arena_t& operator=(const scratch_arena_t&) = delete;

    // As arena_t's; -9998 as well when the first segment cannot be had.
    void* allocate_unreported(std::size_t size, std::int32_t& error_code) noexcept;

private:
    arena_t* arena_ = nullptr;
};

}  // namespace tavo
