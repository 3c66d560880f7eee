// tavo: clean
// std::thread and std::mutex: the lock's calls are inline in the program, the thread's start is
// inside the C++ library.
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {
std::mutex lock;
long total = 0;
}  // namespace

int main() {
    std::vector<std::thread> threads;
    for (int index = 0; index < 3; ++index)
        threads.emplace_back([index] {
            for (int round = 0; round < 300; ++round) {
                std::lock_guard<std::mutex> guard(lock);
                total += index;
            }
        });
    for (auto& thread : threads) thread.join();
    std::printf("%ld\n", total);
    return total == 900 ? 0 : 1;
}
