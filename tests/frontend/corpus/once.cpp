// tavo: clean
// Tables built once, first used from two threads at once: a function-local static with a dynamic
// initialiser (its guard) and std::call_once order the building before every use.
#include <cstdio>
#include <mutex>
#include <thread>

namespace {
struct table_t {
    int values[16];
    table_t() {
        for (int index = 0; index < 16; ++index) values[index] = index * index;
    }
};
std::once_flag once;
int cubes[16];

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
}  // namespace

int main() {
    int sums[2] = {0, 0};
    std::thread first([&] { sums[0] = use(3); });
    std::thread second([&] { sums[1] = use(4); });
    first.join();
    second.join();
    std::printf("%d %d\n", sums[0], sums[1]);
    return sums[0] == 36 && sums[1] == 80 ? 0 : 1;
}
