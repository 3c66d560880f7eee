// One lookup in a range set of 10 and of 10,000 ranges, the cost a filter adds to every watched
// memory access and task entry.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "filter/filter_object.h"

namespace {

constexpr std::uint64_t spacing = 0x100;  // ranges of 0x80 bytes, one every 0x100 bytes

tavo::range_set_t make_ranges(std::int64_t count) {
    tavo::range_set_t ranges;
    for (std::int64_t index = 0; index < count; ++index) ranges.insert({0x10000 + index * spacing, 0x80});
    return ranges;
}

// Random probes over the whole span, so that about half fall inside a range and the branch
// predictor cannot learn the outcome.
std::vector<tavo::range_t> make_probes(std::int64_t count, std::uint32_t size) {
    std::mt19937_64 random(42);
    std::vector<tavo::range_t> probes(4096);
    for (tavo::range_t& probe : probes) probe = {0x10000 + random() % (count * spacing), size};
    return probes;
}

void code_lookup(benchmark::State& state) {
    const tavo::range_set_t ranges = make_ranges(state.range(0));
    const std::vector<tavo::range_t> probes = make_probes(state.range(0), 0);
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ranges.contains(probes[next]));
        next = (next + 1) % probes.size();
    }
}
BENCHMARK(code_lookup)->Arg(10)->Arg(10000);

void data_lookup(benchmark::State& state) {
    const tavo::range_set_t ranges = make_ranges(state.range(0));
    const std::vector<tavo::range_t> probes = make_probes(state.range(0), 8);
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ranges.contains(probes[next]));
        next = (next + 1) % probes.size();
    }
}
BENCHMARK(data_lookup)->Arg(10)->Arg(10000);

// What the access check pays: a data and a code lookup under suppress.
void access_verdict(benchmark::State& state) {
    tavo::filter_object_t filter;
    filter.code = make_ranges(state.range(0));
    filter.data = make_ranges(state.range(0));
    const std::vector<tavo::range_t> probes = make_probes(state.range(0), 8);
    std::size_t next = 0;
    for (auto _ : state) {
        const tavo::range_t& probe = probes[next];
        benchmark::DoNotOptimize(tavo::access_watched(filter, probe.base, probe.length, probe.base ^ 0x40));
        next = (next + 1) % probes.size();
    }
}
BENCHMARK(access_verdict)->Arg(10)->Arg(10000);

}  // namespace
