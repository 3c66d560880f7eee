// tavo: racy
// tavo-fixed
// std::thread and std::mutex (the lock's calls inline in the program, the thread's start inside
// the C++ library): a counter updated by three threads, each under a mutex of its own, which
// orders nothing; fixed, under one mutex.
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "rendezvous.h"

namespace {
std::mutex locks[3];
long total = 0;
}  // namespace

int main() {
    std::vector<std::thread> threads;
    for (int index = 0; index < 3; ++index)
        threads.emplace_back([index] {
            {
#ifdef FIXED
                std::lock_guard<std::mutex> guard(locks[0]);
#else
                std::lock_guard<std::mutex> guard(locks[index]);
#endif
                total += index;  // race
            }
            rendezvous(3);
        });
    for (auto& thread : threads) thread.join();
    std::printf("%ld\n", total);
    return 0;
}
