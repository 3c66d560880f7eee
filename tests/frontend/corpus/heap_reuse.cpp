// tavo: clean
// Jobs allocated by the main thread, handed to a worker through a std::condition_variable, read
// and freed there: the main thread receives the same blocks again and fills them while nothing
// orders the worker's reads before that. A new block starts with no history, so this is no race.
// The main thread then waits for the worker's total with wait_for (the clock variant of the
// condition wait inside the C++ library) and reads it unlocked after the wait.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {
struct job_t {
    int values[10];
};
std::mutex lock;
std::condition_variable changed;
job_t* slot;
bool done, summed;
}  // namespace

int main() {
    long total = 0;
    std::thread worker([&total] {
        for (;;) {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [] { return slot != nullptr || done; });
            job_t* job = slot;
            slot = nullptr;
            changed.notify_all();
            guard.unlock();
            if (job == nullptr) break;
            for (int value : job->values) total += value;
            delete job;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::lock_guard<std::mutex> guard(lock);
        summed = true;
        changed.notify_all();
    });
    static const job_t* seen[400];
    int reused = 0;
    for (int number = 0; number < 400; ++number) {
        job_t* job = new job_t;
        for (int index = 0; index < number; ++index) reused += seen[index] == job;
        seen[number] = job;
        for (int index = 0; index < 10; ++index) job->values[index] = number;
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [] { return slot == nullptr; });
        slot = job;
        changed.notify_all();
    }
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [] { return slot == nullptr; });
        done = true;
        changed.notify_all();
        while (!changed.wait_for(guard, std::chrono::milliseconds(5), [] { return summed; })) {
        }
    }
    const long result = total;
    worker.join();
    // Without reuse the run would show nothing.
    if (reused == 0) std::fputs("no block was reused\n", stderr);
    return reused > 0 && result == 10L * 400 * 399 / 2 ? 0 : 1;
}
