// The cost of one instrumented access through the exported entry, in ns per access, and the shadow
// memory it costs per granule.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>

#include "runtime/runtime.h"
#include "task/task_context.h"
#include "task/thread_record.h"

namespace {

constexpr int granules_per_thread = 64;
alignas(64) std::uint64_t shared_data[granules_per_thread];
alignas(64) std::uint64_t own_data[2][granules_per_thread];

void set_flags(std::uint32_t flags) { std::atomic_ref<std::uint32_t>(__tavo_config.flags).store(flags); }

// A task of type 3 on the calling thread for the benchmark's duration; it makes tasks concurrent,
// which switches the memory entries on.
struct native_task_t {
    explicit native_task_t(std::uint64_t id) : id_(id) { _TAVO_enterGenericTask(3, id_); }
    ~native_task_t() { _TAVO_leaveGenericTask(3, id_); }
    tavo::task_context_t& context() { return *tavo::find_thread_record()->current_task; }
    std::uint64_t id_;
};

void checking_off(benchmark::State& state) {
    set_flags(0);
    if (__TAVO_isGuardedCall & TAVO_ACTIVE_WRITES) state.SkipWithError("the write family is still active");
    for (auto _ : state) _TAVO_writeMemory(&shared_data[0], 8);
}
BENCHMARK(checking_off);

void one_task_repeats_one_granule(benchmark::State& state) {
    set_flags(TAVO_FLAG_TSM);
    const native_task_t task(1);
    for (auto _ : state) _TAVO_writeMemory(&shared_data[0], 8);
    set_flags(0);
}
BENCHMARK(one_task_repeats_one_granule);

// Every access a granule never seen before: region, leaf tables and cells are created on the way.
// Every million granules the task ends and the detector is reset, outside the timing.
void one_task_streams_fresh_granules(benchmark::State& state) {
    constexpr std::uint64_t batch = std::uint64_t{1} << 20;
    constexpr std::uint64_t base = std::uint64_t{1} << 40;
    set_flags(TAVO_FLAG_TSM);
    tavo::runtime.tsm.reset();
    std::uint64_t id = 1, granule = 0;
    auto* task = new native_task_t(id);
    double shadow_bytes = 0, task_bytes = 0;
    for (auto _ : state) {
        _TAVO_writeMemory(reinterpret_cast<void*>(base + granule * 8), 8);
        if (++granule < batch) continue;
        state.PauseTiming();
        const auto census = tavo::runtime.tsm.table.census();
        shadow_bytes = static_cast<double>(census.heap_bytes + tavo::runtime.tsm.cell_arena.segment_count() * 65536);
        task_bytes = static_cast<double>(task->context().arena.segment_count() * 65536);
        delete task;
        tavo::runtime.tsm.reset();
        task = new native_task_t(++id);
        granule = 0;
        state.ResumeTiming();
    }
    delete task;
    tavo::runtime.tsm.reset();
    set_flags(0);
    if (shadow_bytes != 0) {
        state.counters["shadow_B_per_granule"] = shadow_bytes / batch;
        state.counters["task_B_per_granule"] = task_bytes / batch;
    }
}
BENCHMARK(one_task_streams_fresh_granules)->Iterations(4 << 20);

void two_threads_on_disjoint_granules(benchmark::State& state) {
    set_flags(TAVO_FLAG_TSM);
    const native_task_t task(10 + static_cast<std::uint64_t>(state.thread_index()));
    std::uint64_t* own = own_data[state.thread_index()];
    int index = 0;
    for (auto _ : state) {
        _TAVO_writeMemory(&own[index], 8);
        index = (index + 1) % granules_per_thread;
    }
}
BENCHMARK(two_threads_on_disjoint_granules)->Threads(2);

void two_threads_read_shared_granules(benchmark::State& state) {
    set_flags(TAVO_FLAG_TSM);
    const native_task_t task(20 + static_cast<std::uint64_t>(state.thread_index()));
    int index = 0;
    for (auto _ : state) {
        _TAVO_readMemory(&shared_data[index], 8);
        index = (index + 1) % granules_per_thread;
    }
}
BENCHMARK(two_threads_read_shared_granules)->Threads(2);

}  // namespace
