// Stress: eight threads issue random events with no ordering between them, threads come and go,
// and the debugger asks for resets, pings and filter batches at its stops and while the program
// runs. Under the sanitizer builds the run must end with no report; in every build it must end
// within ctest's timeout and leave the task handles and the live counts where the tasks' entries
// and exits put them.
//
// TAVO_STRESS_SECONDS sets the duration (default 2).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "runtime/errors.h"
#include "runtime/runtime.h"
#include "task/task_table.h"
#include "tavo/tavo.h"

namespace {

constexpr int worker_slots = 8;
constexpr std::uint64_t shared_data = 0x10000;

std::atomic<std::uint64_t> detections{0}, unknown_features{0};

// Stops are serialised by the runtime lock, so this state belongs to the thread that stopped.
std::minstd_rand debugger_random{7};
thread_local int stops_in_a_row = 0;

std::uint64_t function_address(int index) {
    alignas(16) static const unsigned char functions[64] = {0x90};
    return reinterpret_cast<std::uintptr_t>(functions) + static_cast<std::uint64_t>(8 * (index % 8));
}

// The request word is also written by the debugger thread while the program runs.
std::atomic_ref<std::uint32_t> request() { return std::atomic_ref<std::uint32_t>(__tavo_config.request); }

// A debugger that keeps changing what the detectors watch, and stops asking after a few stops in
// a row so that the program goes on.
void debugger_acts() {
    if (++stops_in_a_row > 4) {
        request().store(0);
        __tavo_config.version = TAVO_CONFIG_VERSION;
        return;
    }
    static constexpr std::uint32_t requests[] = {TAVO_REQUEST_RESET_TSM, TAVO_REQUEST_RESET_RE, TAVO_REQUEST_PING};
    switch (const unsigned choice = debugger_random() % 20) {
    case 0: case 1: case 2: request().fetch_or(requests[choice]); break;
    case 3:
        __tavo_config.filter_count = 4;
        request().fetch_and(~TAVO_REQUEST_APPLY_FILTERS);
        request().fetch_or(TAVO_REQUEST_ALLOCATE);
        break;
    case 4:
    case 5:
        // Not while a new buffer is asked for: records written into the old one would then be
        // applied from the new one, uninitialised, as a real debugger never does.
        if (tavo::filter_capacity >= 4 && __tavo_filter_space != nullptr && (request().load() & TAVO_REQUEST_ALLOCATE) == 0) {
            const std::uint64_t base = shared_data + 8 * (debugger_random() % 16);
            __tavo_filter_space[0] = {1, 0, 2, 1, {}, 0, 0};                       // tsm: clear data ranges
            __tavo_filter_space[1] = {1, 0, 2, 2, {}, base, 8 + debugger_random() % 32};  // suppress a data range
            __tavo_filter_space[2] = {2, 0, 1, 1, {}, 0, 0};                       // re: clear code ranges
            __tavo_filter_space[3] = {2, 0, 1, 2, {}, function_address(static_cast<int>(debugger_random())), 16};
            __tavo_config.filter_count = 4;
            request().fetch_or(TAVO_REQUEST_APPLY_FILTERS);
        }
        break;
    case 6: {
        // Other threads run on, so the flags word changes under them as under a real debugger's
        // write while the program runs.
        static constexpr std::uint32_t toggles[] = {TAVO_FLAG_TSM, TAVO_FLAG_RE, TAVO_FLAG_ALWAYS_CONCURRENT,
                                                    TAVO_FLAG_IGNORE_READS, TAVO_FLAG_IGNORE_ATOMICS};
        std::atomic_ref<std::uint32_t> flags(__tavo_config.flags);
        std::uint32_t value = flags.load() ^ toggles[debugger_random() % 5];
        if (debugger_random() % 4 == 0) value = TAVO_FLAG_TSM | TAVO_FLAG_RE;
        flags.store(value);
        break;
    }
    default: break;
    }
}

struct worker_t {
    std::minstd_rand random;
    int slot;
    std::uint64_t serial;

    int pick(int count) { return static_cast<int>(random() % static_cast<unsigned>(count)); }

    // One random event; tasks it enters it also leaves, innermost first, so the counts balance.
    void event(int depth) {
        const auto* address = reinterpret_cast<const void*>(shared_data + static_cast<std::uint64_t>(pick(256)));
        const std::uint32_t size = static_cast<std::uint32_t>(1 + pick(16));
        static void (*const accesses[])(const void*, std::uint32_t) = {_TAVO_readMemory, _TAVO_readMemory, _TAVO_readMemory, _TAVO_writeMemory,
                                                                       _TAVO_writeMemory, _TAVO_writeMemory, _TAVO_updateMemory, _TAVO_atomicUpdate};
        static void (*const syncs[])(std::uint32_t, std::uint64_t) = {_TAVO_syncAcquire, _TAVO_syncRelease, _TAVO_syncReleaseWeak, _TAVO_syncDestroy};
        switch (const int choice = pick(24)) {
        case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7: accesses[choice](address, size); break;
        case 8: case 9: case 10: case 11:  // locks, and weak releases and destructions of any type
            syncs[choice - 8](static_cast<std::uint32_t>(choice < 10 ? 1 : pick(9)), static_cast<std::uint64_t>(pick(4)));
            break;
        case 12: {
            const std::uint64_t fork_id = _TAVO_syncForkTaskCurrent();
            if (pick(2) == 0) _TAVO_syncJoin(fork_id);
            break;
        }
        case 13: _TAVO_syncTaskwaitCurrent(); break;
        case 14: _TAVO_syncAlias(static_cast<std::uint32_t>(pick(4)), static_cast<std::uint64_t>(pick(4)), 4,
                                 static_cast<std::uint64_t>(pick(4)));
            break;
        case 15: {
            const auto* function = reinterpret_cast<const void*>(function_address(pick(8)));
            const auto* frame = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(0x8000 - 0x100 * depth));
            _TAVO_enterFunction(function, frame);
            if (depth < 3) event(depth + 1);
            _TAVO_leaveFunction(function, frame);
            break;
        }
        case 16: case 17: {
            // A nested task of a counted type, left again.
            const std::int32_t type = pick(2) == 0 ? 0 : 3;
            const std::uint64_t id = serial++;
            _TAVO_enterGenericTaskFrom(type, id, 0x1000);
            for (int inner = depth < 3 ? pick(4) : 0; inner > 0; --inner) event(depth + 1);
            _TAVO_leaveGenericTaskFrom(type, id, 0x1004);
            break;
        }
        case 18: {
            // A light task, balanced the same way.
            _TAVO_enterGenericTaskFrom(2, serial, 0x2000);
            if (depth < 3) event(depth + 1);
            _TAVO_leaveGenericTaskFrom(2, serial++, 0x2004);
            break;
        }
        case 19: _TAVO_leaveGenericTaskFrom(3, 0xDEAD, 0x3000); break;  // not open: a nesting error
        case 20: _TAVO_readMemory(address, 300); break;                 // too big
        case 21: {
            const std::uint64_t id = _TAVO_syncForkTaskNowait();
            _TAVO_syncAcquire(5, id);
            _TAVO_syncRelease(6, id);
            _TAVO_syncJoin(id);
            break;
        }
        case 22: _TAVO_syncAcquire(static_cast<std::uint32_t>(9 + pick(3)), 1); break;  // invalid type
        default: __zuk_sync_releasing(reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x20000 + pick(2)))); break;
        }
    }

    // A native-thread task around a burst of events; the thread then ends inside its initial task.
    void run(int events) {
        const std::uint64_t id = 1000 * static_cast<std::uint64_t>(slot) + serial++;
        _TAVO_enterGenericTaskFrom(3, id, 0x1000);
        for (int index = 0; index < events; ++index) {
            event(0);
            stops_in_a_row = 0;
        }
        _TAVO_leaveGenericTaskFrom(3, id, 0x1004);
    }
};

}  // namespace

extern "C" void __tavo_switch_to_debugger(void) {
    const std::int32_t reason = __tavo_event_reason;
    if (reason == TAVO_EVENT_DATA_SHARING) detections.fetch_add(1);
    if (reason == tavo::error::unknown_feature) unknown_features.fetch_add(1);
    if (reason >= 0 && reason <= 5 && reason != 3 && reason != 4) return;  // load and unload
    debugger_acts();
}

TEST(Stress, RandomEventsOnEightThreadsWithAnActiveDebugger) {
    std::uint16_t live_before[4];
    for (int type = 0; type < 4; ++type) live_before[type] = tavo::runtime.live_count[type];
    const std::uint16_t tasks_before = tavo::task_table.entry_count();
    std::atomic_ref<std::uint32_t>(__tavo_config.flags).store(TAVO_FLAG_TSM | TAVO_FLAG_RE);

    const char* seconds = std::getenv("TAVO_STRESS_SECONDS");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds != nullptr ? std::atof(seconds) : 2.0);
    // The debugger also asks for resets and pings while the program runs.
    std::thread debugger([&] {
        std::minstd_rand random{11};
        while (std::chrono::steady_clock::now() < deadline) {
            request().fetch_or(std::array{TAVO_REQUEST_RESET_TSM, TAVO_REQUEST_RESET_RE, TAVO_REQUEST_PING}[random() % 3]);
            std::this_thread::sleep_for(std::chrono::microseconds(200 + random() % 800));
        }
    });

    std::atomic<std::uint64_t> threads_run{0};
    std::vector<std::thread> slots;
    for (int slot = 0; slot < worker_slots; ++slot) {
        slots.emplace_back([&, slot] {
            // Short-lived threads one after another, so that tear-down meets everything else.
            for (std::uint64_t generation = 0; std::chrono::steady_clock::now() < deadline; ++generation) {
                std::thread([&, slot, generation] {
                    worker_t worker{std::minstd_rand(static_cast<unsigned>(slot * 7919 + generation)), slot, generation * 100000};
                    worker.run(200);
                }).join();
                threads_run.fetch_add(1);
            }
        });
    }
    for (std::thread& slot : slots) slot.join();
    debugger.join();

    // Every thread ended inside its initial task, which the tear-down ends without counting it out.
    for (int type = 0; type < 4; ++type)
        EXPECT_EQ(tavo::runtime.live_count[type].load(), static_cast<std::uint16_t>(live_before[type] + (type == 1 ? threads_run.load() : 0))) << type;
    EXPECT_EQ(tavo::task_table.entry_count(), tasks_before);
    const std::uint64_t* handles = tavo::task_handles.words;
    EXPECT_TRUE(handles[0] == 1 && std::all_of(handles + 1, handles + tavo::handle_words, [](std::uint64_t word) { return word == 0; })) << "only handle 0 stays taken";
    EXPECT_GT(threads_run.load(), 0u);
    // Every request bit asked for is known: a reset bit set while a poll runs waits for the next poll.
    EXPECT_EQ(unknown_features.load(), 0u);
    EXPECT_GT(detections.load(), 0u);
}
