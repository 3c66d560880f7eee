// tavo: clean
// A spin lock on std::atomic<bool> with compare-exchange, guarding a plain vector.
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {
std::atomic<bool> held{false};
std::vector<int> values;

void lock() {
    bool expected = false;
    while (!held.compare_exchange_weak(expected, true, std::memory_order_acquire, std::memory_order_relaxed))
        expected = false;
}
void unlock() { held.store(false, std::memory_order_release); }
}  // namespace

int main() {
    std::thread first([] {
        for (int index = 0; index < 200; ++index) {
            lock();
            values.push_back(index);
            unlock();
        }
    });
    std::thread second([] {
        for (int index = 0; index < 200; ++index) {
            lock();
            values.push_back(-index);
            unlock();
        }
    });
    first.join();
    second.join();
    std::printf("%zu\n", values.size());
    return values.size() == 400 ? 0 : 1;
}
