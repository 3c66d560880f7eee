// tavo: clean
// Workers that each write their own slot and end; some are joined by the main thread directly,
// others by a worker that the main thread joins: every write is ordered before the main thread's
// reads, however long ago the writer finished.
#include <cstdio>
#include <thread>
#include <vector>

static int slots[16];

int main() {
    for (int round = 0; round < 20; ++round) {
        std::vector<std::thread> direct;
        for (int index = 0; index < 4; ++index) direct.emplace_back([index, round] { slots[index] = round; });
        std::thread collector([round] {
            std::vector<std::thread> inner;
            for (int index = 4; index < 16; ++index) inner.emplace_back([index, round] { slots[index] = round; });
            for (std::thread& thread : inner) thread.join();
        });
        for (std::thread& thread : direct) thread.join();
        collector.join();
        long sum = 0;
        for (int value : slots) sum += value;
        if (sum != 16L * round) return 1;
        for (int& value : slots) value = -1;
    }
    std::puts("ok");
    return 0;
}
