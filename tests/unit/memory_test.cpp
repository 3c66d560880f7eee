// The library's own heap: blocks of every size class and mapped ones, from several threads at once,
// never overlap and keep their contents until freed.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <thread>
#include <vector>

#include "runtime/memory.h"

namespace {

constexpr std::size_t sizes[] = {1, 16, 17, 100, 4096, 65536, 65536 + 200, 1 << 20, (1 << 20) + 1, 3 << 20};

struct block_t {
    unsigned char* memory;
    std::size_t size;
    unsigned char pattern;
};

TEST(Memory, BlocksOfEveryClassFromSeveralThreadsStayDistinct) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4);
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([thread, &failures] {
            for (int round = 0; round < 10; ++round) {
                std::vector<block_t> blocks;
                for (unsigned index = 0; index < 40; ++index) {
                    const std::size_t size = sizes[(index + static_cast<unsigned>(thread)) % std::size(sizes)];
                    auto* memory = static_cast<unsigned char*>(tavo::heap_allocate(size));
                    if (memory == nullptr || reinterpret_cast<std::uintptr_t>(memory) % tavo::heap_alignment != 0) {
                        ++failures[thread];
                        continue;
                    }
                    const auto pattern = static_cast<unsigned char>(thread * 64 + index);
                    std::memset(memory, pattern, size);
                    blocks.push_back({memory, size, pattern});
                }
                for (const block_t& block : blocks) {
                    for (std::size_t offset = 0; offset < block.size; offset += 61)
                        failures[thread] += block.memory[offset] != block.pattern;
                    failures[thread] += block.memory[block.size - 1] != block.pattern;
                    tavo::heap_free(block.memory, block.size);
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
