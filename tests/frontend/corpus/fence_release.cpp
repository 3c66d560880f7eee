// tavo: racy
// tavo-fixed
// A release fence orders what the thread did before it for whoever acquires a value that a later
// relaxed write of the thread stored, a store or a read-modify-write alike; what the thread does
// after the fence stays unordered. Fixed, the late write comes before the fence. The writer stays
// until the reader has read (relaxed: that orders nothing), so that the C library's locking at its
// end cannot order it for a reader that starts late.
#include <atomic>
#include <cstdio>
#include <thread>

namespace {
int early, late;
std::atomic<int> stored{0}, counted{0}, read{0};
}  // namespace

int main() {
    int seen = 0, counted_seen = 0;
    std::thread writer([] {
        early = 1;
#ifdef FIXED
        late = 2;
#endif
        std::atomic_thread_fence(std::memory_order_release);
#ifndef FIXED
        late = 2;  // race
#endif
        stored.store(1, std::memory_order_relaxed);
        counted.fetch_add(1, std::memory_order_relaxed);
        while (read.load(std::memory_order_relaxed) == 0) {
        }
    });
    std::thread reader([&seen] {
        while (stored.load(std::memory_order_acquire) == 0) {
        }
        seen = early + late;  // race
        read.store(1, std::memory_order_relaxed);
    });
    std::thread counter([&counted_seen] {
        while (counted.load(std::memory_order_acquire) == 0) {
        }
        counted_seen = early;
    });
    writer.join();
    reader.join();
    counter.join();
    std::printf("%d %d\n", seen, counted_seen);
    return 0;
}
