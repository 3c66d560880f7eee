// tavo: clean
// The program writes into objects it has deleted, which breaks its allocator's lists of free
// blocks; the library, which keeps allocating while it watches the program, runs on to the end.
#include <cstring>
#include <mutex>
#include <thread>

namespace {

constexpr int locks = 64;
std::mutex mutexes[locks];
std::mutex start_mutex;
int shared[locks];

}  // namespace

int main() {
    start_mutex.lock();
    std::thread worker([] {
        { std::lock_guard<std::mutex> hold(start_mutex); }
        // New sync objects and shadow memory for the library, after the damage.
        for (int index = 0; index < locks; ++index) {
            std::lock_guard<std::mutex> hold(mutexes[index]);
            shared[index] += index;
        }
    });
    // One block of each small size class, deleted, then overwritten: the program itself allocates
    // nothing more.
    for (std::size_t size = 24; size <= 1032; size += 16) {
        char* volatile block = new char[size];
        delete[] block;
        std::memset(block, 0x5a, size);
    }
    start_mutex.unlock();
    worker.join();
    int sum = 0;
    for (int index = 0; index < locks; ++index) sum += shared[index];
    return sum == locks * (locks - 1) / 2 ? 0 : 1;
}
