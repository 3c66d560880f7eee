// tavo: racy
// tavo-fixed
// tavo-reports: 2
// An atomic load races with a plain write, never with a plain read. A release sequence ends at
// another thread's store, so a thread that acquires that store's value is not ordered after the
// data published before the release; fixed, the other thread's read-modify-write continues it.
#include <atomic>
#include <cstdio>
#include <thread>

#include "rendezvous.h"

namespace {
long value;
int payload;
std::atomic<int> flag{0}, relayed{0};
}  // namespace

int main() {
    long loaded = 0, read = 0;
    int consumed = 0;
    std::thread writer([&] {
#ifdef FIXED
        read = value;
#else
        value = 5;  // race
#endif
        payload = 42;  // race
        flag.store(1, std::memory_order_release);
        rendezvous(4);
    });
    std::thread loader([&loaded] {
        loaded = __atomic_load_n(&value, __ATOMIC_RELAXED);  // race
        rendezvous(4);
    });
    std::thread relay([] {
        while (flag.load(std::memory_order_relaxed) != 1) {
        }
#ifdef FIXED
        flag.fetch_add(1, std::memory_order_relaxed);
#else
        flag.store(2, std::memory_order_relaxed);
#endif
        relayed.store(1, std::memory_order_relaxed);
        rendezvous(4);
    });
    // Acquires only once the relayed value is there, never the release's own value.
    std::thread consumer([&consumed] {
        while (!relayed.load(std::memory_order_relaxed)) {
        }
        if (flag.load(std::memory_order_acquire) == 2) consumed = payload;  // race
        rendezvous(4);
    });
    writer.join();
    loader.join();
    relay.join();
    consumer.join();
    std::printf("%ld %ld %d\n", loaded, read, consumed);
    return 0;
}
