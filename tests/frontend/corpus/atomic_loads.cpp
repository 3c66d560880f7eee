// tavo: clean
// Atomic loads never race with plain reads or other atomics: a table published before the
// threads start is read plainly by one thread and with atomic loads by another, while both
// count with atomic increments. A release sequence continued by another thread's relaxed
// increment still orders the data published before it.
#include <atomic>
#include <cstdio>
#include <thread>

#include "rendezvous.h"

namespace {
int table[4] = {1, 2, 3, 4};
std::atomic<int> hits{0};
int payload;
std::atomic<int> ready{0};
}  // namespace

int main() {
    std::thread plain([] {
        int sum = 0;
        for (int round = 0; round < 100; ++round) sum += table[round % 4];
        hits.fetch_add(sum, std::memory_order_relaxed);
        rendezvous(2);
    });
    std::thread atomic([] {
        int sum = 0;
        for (int round = 0; round < 100; ++round) sum += __atomic_load_n(&table[round % 4], __ATOMIC_RELAXED);
        hits.fetch_add(sum, std::memory_order_relaxed);
        rendezvous(2);
        std::printf("%d\n", hits.load(std::memory_order_relaxed) > 0);
    });
    std::thread publisher([] {
        payload = 42;
        ready.store(1, std::memory_order_release);
    });
    std::thread relay([] {
        int expected = 1;
        while (!ready.compare_exchange_weak(expected, 2, std::memory_order_relaxed)) expected = 1;
    });
    std::thread consumer([] {
        while (ready.load(std::memory_order_acquire) != 2) {
        }
        std::printf("%d\n", payload);
    });
    plain.join();
    atomic.join();
    publisher.join();
    relay.join();
    consumer.join();
    return 0;
}
