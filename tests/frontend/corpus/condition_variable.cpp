// tavo: clean
// A queue handed between a producer and a consumer through std::condition_variable.
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace {
std::mutex lock;
std::condition_variable changed;
std::deque<int> queue;
bool finished = false;
}  // namespace

int main() {
    long sum = 0;
    std::thread consumer([&] {
        for (;;) {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [] { return !queue.empty() || finished; });
            if (queue.empty()) return;
            sum += queue.front();
            queue.pop_front();
        }
    });
    for (int value = 1; value <= 100; ++value) {
        std::lock_guard<std::mutex> guard(lock);
        queue.push_back(value);
        changed.notify_one();
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
        changed.notify_one();
    }
    consumer.join();
    std::printf("%ld\n", sum);
    return sum == 5050 ? 0 : 1;
}
