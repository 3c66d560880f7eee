#include "tsm/arena.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "runtime/errors.h"
#include "test_support.h"

using tavo::arena_t;

namespace {

bool in_first_segment(const arena_t& arena, const void* memory) {
    auto* begin = reinterpret_cast<const std::byte*>(&arena);
    return memory >= begin && memory < begin + tavo::arena_segment_size;
}

TEST(Arena, RejectsEmptyOrOversizedRequestsAndRewindsToItsFirstSegment) {
    test::set_thread_site(0x51);
    auto arena = std::make_unique<arena_t>();
    auto* first = arena->allocate(1);
    EXPECT_EQ(arena->allocate(0), nullptr);
    EXPECT_EQ(arena->allocate(65525), nullptr);
    EXPECT_EQ(test::take_raised_errors(), test::raised_errors_t(2, {tavo::error::internal, 0x51}));
    for (int area = 0; area < 3; ++area) arena->allocate(65524);
    arena->rewind();
    EXPECT_EQ(arena->segment_count(), 1u);
    EXPECT_EQ(arena->allocate(8), first);
}

// Each block is filled with its own tag: a block that overlaps another loses part of its tag.
TEST(Arena, ConcurrentClaimsAreDisjointAndAligned) {
    constexpr int threads = 4, per_thread = 5000;
    auto arena = std::make_unique<arena_t>();
    std::vector<std::vector<std::pair<unsigned char*, std::size_t>>> blocks(threads);
    test::run_together(threads, [&](int t) {
        for (int i = 0; i < per_thread; ++i) {
            const std::size_t size = 1 + (i * 7 + t) % 200;
            auto* memory = static_cast<unsigned char*>(arena->allocate(size));
            std::memset(memory, (t * per_thread + i) % 251, size);
            blocks[t].emplace_back(memory, size);
        }
    });
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < per_thread; ++i) {
            auto [memory, size] = blocks[t][i];
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(memory) % 8, 0u);
            ASSERT_EQ(std::count(memory, memory + size, (t * per_thread + i) % 251), static_cast<long>(size));
        }
    }
}

TEST(Arena, ThreadsExhaustingOneSegmentInstallExactlyOne) {
    constexpr int threads = 4;
    for (int round = 0; round < 20; ++round) {
        auto arena = std::make_unique<arena_t>();
        arena->allocate(65504);
        std::vector<std::byte*> got(threads);
        test::run_together(threads, [&](int t) { got[t] = static_cast<std::byte*>(arena->allocate(24)); });
        ASSERT_EQ(arena->segment_count(), 2u);
        std::sort(got.begin(), got.end());
        ASSERT_FALSE(in_first_segment(*arena, got[0]));
        for (int t = 1; t < threads; ++t) ASSERT_EQ(got[t], got[t - 1] + 24);
    }
}

}  // namespace
