// A race on the main thread's stack inside a function whose demangled name is thousands of
// characters long, reached through a few calls and std::thread's inlined frames: every frame of
// the report must be symbolized, whatever the symbolizer does.
#include <atomic>
#include <cstdio>
#include <thread>
#include <utility>

#include "../corpus/rendezvous.h"

template <int depth>
struct tree {
    using type = std::pair<typename tree<depth - 1>::type, typename tree<depth - 1>::type>;
};
template <>
struct tree<0> {
    using type = unsigned long;
};

std::atomic<int> step{0};  // relaxed: orders nothing, only makes the interleaving fixed

template <class Shape>
__attribute__((noinline)) void account_for_every_leaf(long& total, const Shape*) { total += 1; }

__attribute__((noinline)) void first_caller(long& total) { account_for_every_leaf<tree<8>::type>(total, nullptr); }
__attribute__((noinline)) void second_caller(long& total) { account_for_every_leaf<tree<8>::type>(total, nullptr); }

int main() {
    long shared = 0;
    std::thread first([&shared] {
        first_caller(shared);
        step.store(1, std::memory_order_relaxed);
        wait_until(&step, 2);
    });
    std::thread second([&shared] {
        wait_until(&step, 1);
        second_caller(shared);
        step.store(2, std::memory_order_relaxed);
    });
    first.join();
    second.join();
    std::printf("%ld\n", shared);
}
