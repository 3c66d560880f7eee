// tavo: clean
// Jobs allocated by the main thread, handed to a worker under a mutex, read and freed there: the
// main thread receives the same blocks again and fills them while nothing orders the worker's
// reads before that. A new block starts with no history, so this is no race.
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
bool done;
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
            if (job == nullptr) return;
            for (int value : job->values) total += value;
            delete job;
        }
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
    }
    worker.join();
    // Without reuse the run would show nothing.
    if (reused == 0) std::fputs("no block was reused\n", stderr);
    return reused > 0 && total == 10L * 400 * 399 / 2 ? 0 : 1;
}
