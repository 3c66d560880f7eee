// tavo: racy
// tavo-expect: which has finished
// Two threads write; the main thread joins one of them and only then reads what both wrote. The
// joined thread's write is ordered before the read, the other finished thread's is not.
#include <atomic>
#include <cstdio>
#include <thread>

static int joined_value;
static int unjoined_value;
static std::atomic<int> ended{0};  // relaxed: orders nothing

int main() {
    std::thread unjoined([] {
        unjoined_value = 2;  // race
        ended.fetch_add(1, std::memory_order_relaxed);
    });
    std::thread joined([] { joined_value = 1; });
    joined.join();
    while (ended.load(std::memory_order_relaxed) == 0) {
    }
    for (int round = 0; round < 100; ++round) std::this_thread::yield();
    const int late = unjoined_value;  // race
    std::printf("%d %d\n", joined_value, late);
    unjoined.detach();
    return 0;
}
