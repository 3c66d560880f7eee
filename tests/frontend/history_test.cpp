// What reports are made of: the stack store shared by all threads, the heap-block registry, held
// locks as an access record's history keeps them, and suppression patterns.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "frontend/heap_blocks.h"
#include "frontend/stack_store.h"
#include "frontend/suppressions.h"
#include "frontend/thread_stack.h"
#include "frontend/threads.h"
#include "tsm/history.h"

using namespace tavo::frontend;

namespace {

std::vector<std::uint64_t> frames(stack_id_t id) {
    std::uint64_t pcs[64];
    return {pcs, pcs + frames_of(id, pcs, 64)};
}

// Threads racing to make the same stacks get the same ids, and every id reads back its frames.
TEST(StackStore, ConcurrentThreadsShareEachStackOnce) {
    constexpr int thread_count = 4, chains = 200, depth = 12;
    std::vector<std::vector<stack_id_t>> ids(thread_count, std::vector<stack_id_t>(chains * depth));
    std::vector<std::thread> threads;
    for (int thread = 0; thread < thread_count; ++thread)
        threads.emplace_back([&, thread] {
            for (int chain = 0; chain < chains; ++chain) {
                stack_id_t id = 0;
                for (int level = 0; level < depth; ++level)
                    ids[thread][chain * depth + level] = id =
                        intern(id, node_kind_t::frame, 0x400000 + chain * 0x100 + level * 8);
            }
        });
    for (auto& thread : threads) thread.join();
    for (int thread = 1; thread < thread_count; ++thread) EXPECT_EQ(ids[thread], ids[0]);
    for (int chain = 0; chain < chains; ++chain) {
        const auto read = frames(ids[0][chain * depth + depth - 1]);
        ASSERT_EQ(read.size(), std::size_t{depth});
        for (int level = 0; level < depth; ++level)
            EXPECT_EQ(read[level], 0x400000u + chain * 0x100 + (depth - 1 - level) * 8);
    }
    EXPECT_NE(intern(0, node_kind_t::frame, 0x1000), intern(0, node_kind_t::read_lock, 0x1000));
}

// A lock's node keeps the stack that took it; the history of an access made meanwhile names it.
TEST(HeldLocks, HistoryNamesTheLocksHeldAndWhereTheyWereTaken) {
    int first = 0, second = 0;
    keep_history_from_here(true);
    lock_acquired(&first, true, 0x5000);
    lock_acquired(&second, false, 0x6000);
    const stack_id_t with_both = tavo::access_history();
    lock_released(&first);
    held_lock_t locks[4];
    ASSERT_EQ(held_locks(locks, 4), 1u);
    EXPECT_EQ(locks[0].address, reinterpret_cast<std::uintptr_t>(&second));
    ASSERT_EQ(locks_of(with_both, locks, 4), 2u);  // newest first
    EXPECT_EQ(locks[0].address, reinterpret_cast<std::uintptr_t>(&second));
    EXPECT_FALSE(locks[0].write);
    EXPECT_EQ(frames(locks[0].where), std::vector<std::uint64_t>{0x6000});
    EXPECT_EQ(locks[1].address, reinterpret_cast<std::uintptr_t>(&first));
    EXPECT_TRUE(locks[1].write);
    lock_released(&second);
    EXPECT_EQ(held_locks(locks, 4), 0u);
    EXPECT_EQ(locks_of(tavo::access_history(), locks, 4), 0u);
}

TEST(HeapBlocks, EveryLiveBlockIsFoundByAnyOfItsBytesUntilFreed) {
    constexpr std::size_t count = 30000;  // past the first growth of every shard, with collisions
    std::vector<std::uintptr_t> bases;
    for (std::size_t index = 0; index < count; ++index) bases.push_back(0x10000000 + index * 64);
    for (std::uintptr_t base : bases) heap_block_allocated(reinterpret_cast<void*>(base), 40, reinterpret_cast<void*>(0x7000));
    heap_block_t block;
    for (std::size_t index = 0; index < count; index += 61) {
        ASSERT_TRUE(heap_block_containing(bases[index] + 39, block)) << index;
        EXPECT_EQ(block.base, bases[index]);
        EXPECT_EQ(block.size, 40u);
        EXPECT_EQ(frames(block.allocated_at), std::vector<std::uint64_t>{0x7000});
        EXPECT_FALSE(heap_block_containing(bases[index] + 40, block));
    }
    for (std::size_t index = 0; index < count; index += 2) heap_block_freed(reinterpret_cast<void*>(bases[index]));
    EXPECT_EQ(heap_blocks_held(), count / 2);
    for (std::size_t index = 0; index < count; index += 97)
        EXPECT_EQ(heap_block_containing(bases[index] + 8, block), index % 2 == 1) << index;
    for (std::size_t index = 1; index < count; index += 2) heap_block_freed(reinterpret_cast<void*>(bases[index]));
    EXPECT_EQ(heap_blocks_held(), 0u);
}

TEST(Suppressions, PatternsMatchAnywhereUnlessAnchored) {
    struct case_t {
        const char* pattern;
        const char* text;
        bool match;
    } const cases[] = {
        {"bump", "bump_statistics", true},   {"stat", "bump_statistics", true},   {"^stat", "bump_statistics", false},
        {"^bump$", "bump_statistics", false}, {"^bump$", "bump", true},           {"bump*tics", "bump_statistics", true},
        {"^b*s$", "bump_statistics", true},  {"*", "anything", true},             {"cache::*::get", "cache::lru::get(int)", true},
        {"libfoo.so", "/usr/lib/libfoo.so.1", true}, {"x", nullptr, false},       {"", "text", false},
    };
    for (const case_t& c : cases) EXPECT_EQ(template_match(c.pattern, c.text), c.match) << c.pattern << " " << (c.text ? c.text : "");
}

TEST(Suppressions, FileLinesAreReadAndBadOnesNamed) {
    char path[] = "/tmp/tavo_suppressions_XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    const char text[] = "# known races\n  race:bump_statistics  \n\ncalled_from_lib:libfoo.so\nrace_top:^get$\nthread:x\nnonsense\n";
    ASSERT_EQ(write(file, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(file);
    testing::internal::CaptureStderr();
    const bool loaded = load_suppressions(path);
    const std::string errors = testing::internal::GetCapturedStderr();
    unlink(path);
    EXPECT_TRUE(loaded);
    ASSERT_EQ(suppression_count(), 3u);
    EXPECT_EQ(suppression(0).type, suppression_type_t::race);
    EXPECT_STREQ(suppression(0).pattern, "bump_statistics");
    EXPECT_EQ(suppression(1).type, suppression_type_t::called_from_lib);
    EXPECT_EQ(suppression(2).type, suppression_type_t::race_top);
    EXPECT_NE(errors.find(":6: suppression type 'thread' not used"), std::string::npos) << errors;
    EXPECT_NE(errors.find(":7: expected type:pattern"), std::string::npos) << errors;
    EXPECT_FALSE(load_suppressions("/nonexistent/suppressions"));
}

}  // namespace
