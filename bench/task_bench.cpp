// Task entry plus exit: building and registering a context, ending it (retiring its handle from
// every live task's clock) and freeing it.
#include <benchmark/benchmark.h>

#include "tavo/tavo.h"

namespace {

void enter_and_leave(benchmark::State& state) {
    const auto live = static_cast<std::uint64_t>(state.range(0));
    for (std::uint64_t id = 1; id <= live; ++id) _TAVO_enterGenericTaskFrom(0, 1000000 + id, 0);
    for (auto _ : state) {
        _TAVO_enterGenericTaskFrom(3, 1, 0);
        _TAVO_leaveGenericTaskFrom(3, 1, 0);
    }
    for (std::uint64_t id = live; id >= 1; --id) _TAVO_leaveGenericTaskFrom(0, 1000000 + id, 0);
}
BENCHMARK(enter_and_leave)->Arg(0)->Arg(100);

}  // namespace
