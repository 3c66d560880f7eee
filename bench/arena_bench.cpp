#include <benchmark/benchmark.h>

#include <memory>

#include "tsm/arena.h"

namespace {

// One claim per record, with a heap segment every 2,730 records of 24 bytes.
void BM_ArenaAllocate24(benchmark::State& state) {
    auto arena = std::make_unique<tavo::arena_t>();
    std::size_t allocated = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(arena->allocate(24));
        if (++allocated == 1'000'000) {
            state.PauseTiming();
            arena->rewind();
            allocated = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_ArenaAllocate24);

// Two threads claiming from one arena: the used counter's cache line moves between cores.
tavo::arena_t* shared_arena;
void BM_ArenaAllocate24Shared(benchmark::State& state) {
    if (state.thread_index() == 0) shared_arena = new tavo::arena_t;
    for (auto _ : state) benchmark::DoNotOptimize(shared_arena->allocate(24));
    if (state.thread_index() == 0) delete shared_arena;
}
BENCHMARK(BM_ArenaAllocate24Shared)->Threads(2)->Iterations(2'000'000);

}  // namespace
