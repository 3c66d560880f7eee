#include "tsm/arena.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "raised_errors.h"
#include "runtime/errors.h"

using tavo::arena_t;
using test::raised_error_t;

namespace {

bool in_first_segment(const arena_t& arena, const void* memory) {
    auto* begin = reinterpret_cast<const std::byte*>(&arena);
    auto* at = static_cast<const std::byte*>(memory);
    return at >= begin && at < begin + tavo::arena_segment_size;
}

TEST(Arena, RoundsUpToEightAndRejectsEmptyOrOversizedRequests) {
    test::set_thread_site(0x51);
    auto arena = std::make_unique<arena_t>();
    auto* first = static_cast<std::byte*>(arena->allocate(1));
    EXPECT_EQ(static_cast<std::byte*>(arena->allocate(1)), first + 8);
    EXPECT_EQ(arena->allocate(0), nullptr);
    EXPECT_EQ(arena->allocate(65525), nullptr);
    const std::vector<raised_error_t> expected(2, raised_error_t{tavo::error::internal, 0x51});
    EXPECT_EQ(test::take_raised_errors(), expected);

    auto empty = std::make_unique<arena_t>();
    void* whole = empty->allocate(65524);
    EXPECT_TRUE(in_first_segment(*empty, whole));
    std::memset(whole, 0xab, 65524);
    EXPECT_EQ(empty->segment_count(), 1u);
    EXPECT_TRUE(test::take_raised_errors().empty());
}

TEST(Arena, SegmentTailThatCannotHoldARequestIsNeverHandedOut) {
    auto arena = std::make_unique<arena_t>();
    ASSERT_TRUE(in_first_segment(*arena, arena->allocate(65504)));  // 20 bytes left
    auto* next = static_cast<std::byte*>(arena->allocate(24));
    EXPECT_FALSE(in_first_segment(*arena, next));
    EXPECT_EQ(arena->segment_count(), 2u);
    EXPECT_EQ(static_cast<std::byte*>(arena->allocate(8)), next + 24);
}

TEST(Arena, RewindFreesHeapSegmentsAndEmptiesTheFirst) {
    auto arena = std::make_unique<arena_t>();
    void* start = arena->allocate(8);
    arena->rewind();
    EXPECT_EQ(arena->allocate(16), start);
    arena->rewind();
    for (int i = 0; i < 3; ++i) arena->allocate(65524);
    EXPECT_EQ(arena->segment_count(), 3u);
    arena->rewind();
    EXPECT_EQ(arena->segment_count(), 1u);
    EXPECT_EQ(arena->allocate(8), start);
}

TEST(Arena, ExhaustedHeapReportsOutOfMemoryAndLeavesTheChain) {
    test::set_thread_site(0x77);
    auto arena = std::make_unique<arena_t>();
    arena->limit_heap_segments(0);
    arena->allocate(65520);
    EXPECT_EQ(arena->allocate(8), nullptr);
    EXPECT_EQ(arena->segment_count(), 1u);
    EXPECT_EQ(test::take_raised_errors(), (std::vector<raised_error_t>{{tavo::error::out_of_memory, 0x77}}));
    arena->limit_heap_segments(1);
    EXPECT_NE(arena->allocate(8), nullptr);  // the segment lock was released
    EXPECT_EQ(arena->segment_count(), 2u);
}

TEST(Arena, ConcurrentAllocationsAreDisjointAndAligned) {
    struct block_t {
        unsigned char* memory;
        std::size_t size;
        unsigned char tag;
    };
    constexpr int threads = 4, per_thread = 5000;
    auto arena = std::make_unique<arena_t>();
    std::vector<std::vector<block_t>> blocks(threads);
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            while (!go.load()) {}
            for (int i = 0; i < per_thread; ++i) {
                const std::size_t size = 1 + (i * 7 + t) % 200;
                auto* memory = static_cast<unsigned char*>(arena->allocate(size));
                const auto tag = static_cast<unsigned char>(t * 61 + i);
                std::memset(memory, tag, size);
                blocks[t].push_back({memory, size, tag});
            }
        });
    }
    go = true;
    for (auto& worker : workers) worker.join();

    std::vector<block_t> all;
    for (auto& list : blocks) all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end(), [](const block_t& a, const block_t& b) { return a.memory < b.memory; });
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(all[i].memory) % 8, 0u);
        ASSERT_TRUE(std::all_of(all[i].memory, all[i].memory + all[i].size, [&](unsigned char c) { return c == all[i].tag; }));
        if (i > 0) {
            ASSERT_LE(all[i - 1].memory + all[i - 1].size, all[i].memory);
        }
    }
    EXPECT_GT(arena->segment_count(), 1u);
}

TEST(Arena, ThreadsExhaustingOneSegmentInstallExactlyOne) {
    constexpr int threads = 4;
    for (int round = 0; round < 20; ++round) {
        auto arena = std::make_unique<arena_t>();
        arena->allocate(65504);
        std::vector<void*> got(threads);
        std::atomic<int> ready{0};
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                ready.fetch_add(1);
                while (ready.load() < threads) {}
                got[t] = arena->allocate(24);
            });
        }
        for (auto& worker : workers) worker.join();
        ASSERT_EQ(arena->segment_count(), 2u);
        std::sort(got.begin(), got.end());
        for (int t = 0; t < threads; ++t) {
            ASSERT_FALSE(in_first_segment(*arena, got[t]));
            if (t > 0) {
                ASSERT_EQ(static_cast<std::byte*>(got[t]), static_cast<std::byte*>(got[t - 1]) + 24);
            }
        }
    }
}

}  // namespace
