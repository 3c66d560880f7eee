// tavo: clean
// What the C++ library orders. Tables built once, first used from two threads at once: a
// function-local static with a dynamic initialiser (its guard) and std::call_once order the
// building before every use. Workers write their own slots and end, some joined by the main
// thread, others by a worker that it joins: every write is ordered before the main thread's reads,
// however long ago the writer finished. Jobs allocated by the main thread, handed to a worker
// through a std::condition_variable, read and freed there: the main thread receives the same
// blocks again and fills them while nothing orders the worker's reads before that; a new block
// starts with no history. The main thread then waits for the worker's total with wait_for (the
// clock variant of the condition wait) and reads it unlocked after the wait.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {
struct table_t {
    int values[16];
    table_t() { for (int index = 0; index < 16; ++index) values[index] = index * index; }
};
std::once_flag once;
int cubes[16], slots[16];

__attribute__((noinline)) const table_t& table() {
    static table_t instance;
    return instance;
}

int use(int index) {
    std::call_once(once, [] {
        for (int value = 0; value < 16; ++value) cubes[value] = value * value * value;
    });
    const int cube = cubes[index];  // before the guard, whose release would order it too
    return cube + table().values[index];
}

bool built_once() {
    int sums[2] = {0, 0};
    std::thread first([&] { sums[0] = use(3); });
    std::thread second([&] { sums[1] = use(4); });
    first.join();
    second.join();
    return sums[0] == 36 && sums[1] == 80;
}

bool joined_in_chains() {
    for (int round = 0; round < 20; ++round) {
        std::vector<std::thread> direct;
        for (int index = 0; index < 4; ++index) direct.emplace_back([index, round] { slots[index] = round; });
        std::thread collector([round] {
            std::vector<std::thread> inner;
            for (int index = 4; index < 16; ++index) inner.emplace_back([index, round] { slots[index] = round; });
            for (std::thread& thread : inner) thread.join();
        });
        for (std::thread& thread : direct) thread.join();
        collector.join();
        long sum = 0;
        for (int& value : slots) sum += value, value = -1;
        if (sum != 16L * round) return false;
    }
    return true;
}

struct job_t {
    int values[10];
};
std::mutex lock;
std::condition_variable changed;
job_t* slot;
bool done, summed;

bool blocks_reused() {
    long total = 0;
    std::thread worker([&total] {
        for (;;) {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [] { return slot != nullptr || done; });
            job_t* job = std::exchange(slot, nullptr);
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
        reused += std::count(seen, seen + number, job);
        seen[number] = job;
        std::fill_n(job->values, 10, number);
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
    if (reused == 0) std::fputs("no block was reused: the run shows nothing\n", stderr);
    return reused > 0 && result == 10L * 400 * 399 / 2;
}
}  // namespace

int main() { return built_once() && joined_in_chains() && blocks_reused() ? 0 : 1; }
