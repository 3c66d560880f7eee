// tavo: racy
// A C++ counter updated by two std::threads, one of them through a reference.
#include <atomic>
#include <cstdio>
#include <thread>

namespace {
std::atomic<int> arrived{0};
void rendezvous() {
    arrived.fetch_add(1, std::memory_order_relaxed);
    while (arrived.load(std::memory_order_relaxed) < 2) {
    }
}
}  // namespace

int main() {
    int counter = 0;
    std::thread first([&counter] {
        counter += 1;  // race
        rendezvous();
    });
    std::thread second([&counter] {
        counter += 2;  // race
        rendezvous();
    });
    first.join();
    second.join();
    std::printf("%d\n", counter);
    return 0;
}
