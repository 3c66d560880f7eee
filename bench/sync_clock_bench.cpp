#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "sync/sync_clock.h"
#include "tsm/arena.h"

namespace {

struct clocks_t {
    std::unique_ptr<tavo::arena_t> arena = std::make_unique<tavo::arena_t>();

    tavo::sync_clock_t* filled(int entries, std::uint64_t time) {
        tavo::sync_clock_t* clock = tavo::sync_clock_t::create(*arena);
        for (int handle = 1; handle <= entries; ++handle)
            clock->raise_to(static_cast<std::uint16_t>(handle), time + static_cast<std::uint64_t>(handle), *arena);
        return clock;
    }
};

// The access check's question, cycling over every handle of the clock.
void BM_HappensBefore(benchmark::State& state) {
    clocks_t clocks;
    const int entries = static_cast<int>(state.range(0));
    tavo::sync_clock_t* clock = clocks.filled(entries, 100);
    int handle = 0;
    for (auto _ : state) {
        handle = handle % entries + 1;
        benchmark::DoNotOptimize(clock->happens_before(static_cast<std::uint16_t>(handle), 50));
    }
}
BENCHMARK(BM_HappensBefore)->Arg(8)->Arg(64);

// A first acquire: every entry is inserted, buckets included.
void BM_JoinIntoEmpty(benchmark::State& state) {
    clocks_t clocks;
    tavo::sync_clock_t* source = clocks.filled(static_cast<int>(state.range(0)), 100);
    tavo::arena_t destinations;
    int made = 0;
    for (auto _ : state) {
        tavo::sync_clock_t* destination = tavo::sync_clock_t::create(destinations);
        destination->join(source, destinations);
        if (++made == 1000) {
            state.PauseTiming();
            destinations.rewind();
            made = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_JoinIntoEmpty)->Arg(8)->Arg(64);

// A repeated acquire: every entry is found and already at least as large.
void BM_JoinIntoFull(benchmark::State& state) {
    clocks_t clocks;
    const int entries = static_cast<int>(state.range(0));
    tavo::sync_clock_t* source = clocks.filled(entries, 100);
    tavo::sync_clock_t* destination = clocks.filled(entries, 200);
    for (auto _ : state) destination->join(source, *clocks.arena);
}
BENCHMARK(BM_JoinIntoFull)->Arg(8)->Arg(64);

// A release: tick, own entry, join into the object's clock.
void BM_Advance(benchmark::State& state) {
    clocks_t clocks;
    const int entries = static_cast<int>(state.range(0));
    tavo::sync_clock_t* task = clocks.filled(entries, 100);
    tavo::sync_clock_t* object = clocks.filled(entries, 100);
    std::uint64_t time = 1000;
    for (auto _ : state) task->advance(time, 1, *object, *clocks.arena);
}
BENCHMARK(BM_Advance)->Arg(8)->Arg(64);

}  // namespace
