// tavo: clean
// A function-local static with a dynamic initialiser, first used from two threads at once: the
// guard orders the initialisation before every use.
#include <cstdio>
#include <string>
#include <thread>

namespace {
struct table_t {
    int values[16];
    table_t() {
        for (int index = 0; index < 16; ++index) values[index] = index * index;
    }
};

__attribute__((noinline)) const table_t& table() {
    static table_t instance;
    return instance;
}
}  // namespace

int main() {
    int sums[2] = {0, 0};
    std::thread first([&] { sums[0] = table().values[3]; });
    std::thread second([&] { sums[1] = table().values[4]; });
    first.join();
    second.join();
    std::printf("%d %d\n", sums[0], sums[1]);
    return sums[0] == 9 && sums[1] == 16 ? 0 : 1;
}
