// tavo: racy
// tavo-fixed
// Shared sections of std::shared_mutex (pthread's reader-writer lock) do not order each other: a
// thread that writes under a shared lock races with another's earlier read under its own. Fixed,
// the writer takes the lock exclusively, and the reader's unlock alone orders its read before.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "rendezvous.h"

namespace {
std::shared_mutex mutex;
int table[4];
std::atomic<int> read_done{0};  // relaxed: orders nothing
}  // namespace

int main() {
    int seen = 0;
    std::thread reader([&seen] {
        {
            std::shared_lock<std::shared_mutex> guard(mutex);
            seen = table[1];  // race
        }
        read_done.store(1, std::memory_order_relaxed);
        rendezvous(2);
    });
    std::thread writer([] {
        while (read_done.load(std::memory_order_relaxed) == 0) {
        }
        {
#ifdef FIXED
            std::unique_lock<std::shared_mutex> guard(mutex);
#else
            std::shared_lock<std::shared_mutex> guard(mutex);
#endif
            table[1] = 7;  // race
        }
        rendezvous(2);
    });
    reader.join();
    writer.join();
    std::printf("%d %d\n", seen, table[1]);
    return 0;
}
