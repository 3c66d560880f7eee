// tavo: clean
// A hand-off through std::condition_variable::wait_for, whose timed wait the C++ library makes
// with the clock variant of the condition wait; the result is read after the wait, unlocked.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {
std::mutex lock;
std::condition_variable changed;
bool ready = false;
int result = 0;
}  // namespace

int main() {
    std::thread producer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        result = 42;
        std::lock_guard<std::mutex> guard(lock);
        ready = true;
        changed.notify_one();
    });
    {
        std::unique_lock<std::mutex> guard(lock);
        while (!changed.wait_for(guard, std::chrono::milliseconds(5), [] { return ready; })) {
        }
    }
    result += 1;
    producer.join();
    std::printf("%d\n", result);
    return result == 43 ? 0 : 1;
}
