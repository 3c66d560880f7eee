// tavo: clean
// A queue handed between a producer and a consumer through std::condition_variable; the
// producer then waits for the consumer's sum with wait_for (the clock variant of the condition
// wait inside the C++ library) and reads it unlocked after the wait.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace {
std::mutex lock;
std::condition_variable changed;
std::deque<int> queue;
bool finished = false, summed = false;
}  // namespace

int main() {
    long sum = 0;
    std::thread consumer([&sum] {
        for (;;) {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [] { return !queue.empty() || finished; });
            if (queue.empty()) break;
            sum += queue.front();
            queue.pop_front();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sum += 1;
        std::lock_guard<std::mutex> guard(lock);
        summed = true;
        changed.notify_all();
    });
    for (int value = 1; value <= 100; ++value) {
        std::lock_guard<std::mutex> guard(lock);
        queue.push_back(value);
        changed.notify_one();
    }
    {
        std::unique_lock<std::mutex> guard(lock);
        finished = true;
        changed.notify_all();
        while (!changed.wait_for(guard, std::chrono::milliseconds(5), [] { return summed; })) {
        }
    }
    const long result = sum;
    consumer.join();
    std::printf("%ld\n", result);
    return result == 5051 ? 0 : 1;
}
