// tavo: racy
// tavo-fixed
// tavo-expect: (mutexes: write M
// tavo-expect: (mutexes: read M
// std::thread and the C++ library's locks (their calls inline in the program, the thread's start
// inside the C++ library). A counter updated by three threads, each under a std::mutex of its
// own, which orders nothing; fixed, under one. Shared sections of std::shared_mutex (pthread's
// reader-writer lock) do not order each other: a thread that writes under a shared lock races
// with another's earlier read under its own; fixed, the writer takes the lock exclusively, and the
// reader's unlock alone orders its read before.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "rendezvous.h"

static std::mutex locks[3];
static long total;
static std::shared_mutex shared;
static int table[4];
static std::atomic<int> read_done{0};  // relaxed: orders nothing

int main() {
    std::vector<std::thread> threads;
    for (int index = 0; index < 3; ++index)
        threads.emplace_back([index] {
            {
                std::lock_guard<std::mutex> guard(locks[RACY_OR_FIXED(index, 0)]);
                total += index;  // race
            }
            rendezvous(3);
        });
    for (auto& thread : threads) thread.join();
    int seen = 0;
    std::thread reader([&seen] {
        {
            std::shared_lock<std::shared_mutex> guard(shared);
            seen = table[1];  // race
        }
        read_done.store(1, std::memory_order_relaxed);
        rendezvous(5);
    });
    std::thread writer([] {
        wait_until(&read_done, 1);
        {
            RACY_OR_FIXED(std::shared_lock, std::unique_lock)<std::shared_mutex> guard(shared);
            table[1] = 7;  // race
        }
        rendezvous(5);
    });
    reader.join();
    writer.join();
    std::printf("%ld %d %d\n", total, seen, table[1]);
    return 0;
}
