// tavo: clean
// A cache behind std::shared_mutex: readers look entries up under shared locks, a writer
// refreshes them under the exclusive lock, and each reader also keeps a private tally under the
// shared lock. Readers' unlocks order the writer after them, the writer's unlock the readers after.
#include <cstdio>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace {
std::shared_mutex mutex;
std::map<int, int> cache;
}  // namespace

int main() {
    for (int key = 0; key < 8; ++key) cache[key] = key;
    std::vector<std::thread> threads;
    long totals[2] = {};
    for (int reader = 0; reader < 2; ++reader) {
        threads.emplace_back([reader, &totals] {
            for (int round = 0; round < 300; ++round) {
                std::shared_lock<std::shared_mutex> guard(mutex);
                totals[reader] += cache.at(round % 8);
            }
        });
    }
    threads.emplace_back([] {
        for (int round = 0; round < 300; ++round) {
            std::unique_lock<std::shared_mutex> guard(mutex);
            cache[round % 8] += 1;
        }
    });
    for (auto& thread : threads) thread.join();
    std::printf("%ld\n", totals[0] + totals[1]);
    return 0;
}
