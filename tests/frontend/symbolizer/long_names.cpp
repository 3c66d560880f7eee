// A race inside a function whose demangled name is thousands of characters long, reached through
// a few calls: every frame of the report must be symbolized, whatever the symbolizer does.
#include <atomic>
#include <cstdio>
#include <thread>
#include <utility>

template <int depth>
struct tree {
    using type = std::pair<typename tree<depth - 1>::type, typename tree<depth - 1>::type>;
};
template <>
struct tree<0> {
    using type = unsigned long;
};

long shared;
std::atomic<int> step{0};  // relaxed: orders nothing, only makes the interleaving fixed

template <class Shape>
__attribute__((noinline)) void account_for_every_leaf(const Shape*) { shared += 1; }

__attribute__((noinline)) void first_caller() { account_for_every_leaf<tree<8>::type>(nullptr); }
__attribute__((noinline)) void second_caller() { account_for_every_leaf<tree<8>::type>(nullptr); }

int main() {
    std::thread first([] {
        first_caller();
        step.store(1, std::memory_order_relaxed);
        while (step.load(std::memory_order_relaxed) != 2) {
        }
    });
    std::thread second([] {
        while (step.load(std::memory_order_relaxed) != 1) {
        }
        second_caller();
        step.store(2, std::memory_order_relaxed);
    });
    first.join();
    second.join();
    std::printf("%ld\n", shared);
}
