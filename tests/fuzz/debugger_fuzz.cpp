// libFuzzer target: the input is a program and a debugger at once. It calls the entries with
// arguments the fuzzer chooses (invalid task and sync types, sizes above 255, unknown fork ids,
// exits that match nothing) on up to three threads, one call at a time, and at every stop the
// debugger writes what the input says into the configuration block and the filter buffer. Nothing
// may crash, hang or trip a sanitizer. CI runs it briefly over the committed corpus
// (`cmake --workflow --preset fuzz`). A long run, then the new inputs that add coverage folded
// into the committed corpus:
//
//   mkdir -p build/fuzz/corpus-long
//   ASAN_OPTIONS=allocator_may_return_null=1 build/fuzz/tests/fuzz/debugger_fuzz -max_total_time=3600
//     -timeout=20 -rss_limit_mb=4096 -malloc_limit_mb=1000000 build/fuzz/corpus-long tests/fuzz/corpus
//   build/fuzz/tests/fuzz/debugger_fuzz -merge=1 -malloc_limit_mb=1000000 tests/fuzz/corpus build/fuzz/corpus-long
//
// allocator_may_return_null and the malloc limit let the debugger ask for filter buffers the heap
// cannot give: the library must report "out of memory" then, not the sanitizer.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <semaphore>
#include <thread>

#include "runtime/runtime.h"
#include "tavo/tavo.h"

namespace {

// The bytes of one input, consumed by the program and by the debugger alike; zeros once spent.
// Numbers are little-endian.
struct input_t {
    const std::uint8_t* data;
    std::size_t size, at = 0;
    bool spent() const { return at >= size; }
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    template <class T>
    T number() {
        T value = 0;
        for (std::size_t index = 0; index < sizeof(T); ++index) value |= static_cast<T>(static_cast<T>(byte()) << 8 * index);
        return value;
    }
    std::uint16_t u16() { return number<std::uint16_t>(); }
    std::uint32_t u32() { return number<std::uint32_t>(); }
    std::uint64_t u64() { return number<std::uint64_t>(); }
};

input_t* current_input = nullptr;  // set while an input runs; hand-offs order every access
int stops_in_a_row = 0;

alignas(16) const std::uint8_t functions[64] = {
    0x90, 0, 0, 0, 0, 0, 0, 0, 0xE9, 0x0B, 0, 0, 0, 0, 0, 0,  // 8 jumps to 24
    0x90, 0, 0, 0, 0, 0, 0, 0, 0x90, 0, 0, 0, 0, 0, 0, 0,
    0xE9, 0xF3, 0xFF, 0xFF, 0xFF, 0, 0, 0,                    // 32 jumps back to 24
};

// What the debugger writes at a stop. An input that keeps the library stopping is let go after a
// bounded number of stops, as a debugger's user would.
void debugger_acts(input_t& in) {
    if (++stops_in_a_row > 32 || in.spent()) {
        __tavo_config.request = 0;
        __tavo_config.version = TAVO_CONFIG_VERSION;
        return;
    }
    switch (in.byte() % 8) {
    case 0: break;
    case 1: __tavo_config.request = in.u32(); break;
    case 2: __tavo_config.version = in.byte() % 2 == 0 ? TAVO_CONFIG_VERSION : in.u32(); break;
    case 3: __tavo_config.flags = in.u32(); break;
    case 4:
        __tavo_config.filter_count = in.byte() % 16;
        __tavo_config.request |= TAVO_REQUEST_ALLOCATE;
        break;
    case 5: {
        // Records straight from the input, then the batch; the count may exceed what was written
        // or even the buffer.
        const std::uint32_t count = in.byte() % 12;
        for (std::uint32_t index = 0; index < count && index < tavo::filter_capacity && __tavo_filter_space; ++index)
            for (std::size_t at = 0; at < sizeof(tavo_filter_record_t); ++at) reinterpret_cast<std::uint8_t*>(&__tavo_filter_space[index])[at] = in.byte();
        __tavo_config.filter_count = count <= tavo::filter_capacity ? count : count + in.byte() % 2;
        __tavo_config.request |= TAVO_REQUEST_APPLY_FILTERS;
        break;
    }
    case 6: __tavo_config.request |= in.byte() & 0x3; break;
    default:
        // Counts that the heap either gives at once or cannot give at all: a buffer of gigabytes
        // that does get allocated only makes the leak checker's scans slow.
        __tavo_config.filter_count = in.byte() % 2 == 0 ? in.u32() % (1u << 20) : 0xF0000000u | in.u32();
        break;
    }
}

std::int32_t task_type(input_t& in) {
    const std::uint8_t choice = in.byte();
    return choice < 200 ? choice % 6 : static_cast<std::int32_t>(in.u32());
}
std::uint32_t sync_type(input_t& in) {
    const std::uint8_t choice = in.byte();
    return choice < 220 ? choice % 10 : in.u32();
}
std::uint64_t small_or_any(input_t& in) {
    const std::uint8_t choice = in.byte();
    return choice < 230 ? choice % 8 : in.u64();
}

// One call of an entry, with its arguments.
void call_entry(input_t& in, std::uint64_t& last_fork) {
    const auto* address = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(0x10000 + small_or_any(in) * 3));
    static void (*const accesses[])(const void*, std::uint32_t) = {_TAVO_readMemory, _TAVO_writeMemory, _TAVO_updateMemory, _TAVO_atomicUpdate};
    static void (*const syncs[])(std::uint32_t, std::uint64_t) = {_TAVO_syncAcquire, _TAVO_syncRelease, _TAVO_syncAcquireWeak, _TAVO_syncReleaseWeak,
                                                                  _TAVO_syncDestroy};
    switch (const std::uint8_t choice = in.byte() % 28) {
    case 0: case 1: case 2: case 3: accesses[choice](address, in.byte() < 240 ? in.byte() % 17 : in.u32()); break;
    case 4: _TAVO_enterFunction(functions + in.byte() % 5 * 8, reinterpret_cast<const void*>(std::uintptr_t{in.u16()})); break;
    case 5: _TAVO_leaveFunction(functions + in.byte() % 5 * 8, reinterpret_cast<const void*>(std::uintptr_t{in.u16()})); break;
    case 6: { const std::int32_t type = task_type(in); _TAVO_enterGenericTaskFrom(type, small_or_any(in), in.u16()); break; }
    case 7: { const std::int32_t type = task_type(in); _TAVO_leaveGenericTaskFrom(type, small_or_any(in), in.u16()); break; }
    case 8: { const std::int32_t type = task_type(in); _TAVO_enterGenericTask(type, small_or_any(in)); break; }
    case 9: { const std::int32_t type = task_type(in); _TAVO_leaveGenericTask(type, small_or_any(in)); break; }
    case 10: _TAVO_activateTaskType(static_cast<std::uint32_t>(task_type(in))); break;
    case 11: case 12: case 13: case 14: case 15: { const std::uint32_t type = sync_type(in); syncs[choice - 11](type, small_or_any(in)); break; }
    case 16: {
        const std::uint64_t alias[] = {sync_type(in), small_or_any(in), sync_type(in), small_or_any(in)};  // read in order
        _TAVO_syncAlias(static_cast<std::uint32_t>(alias[0]), alias[1], static_cast<std::uint32_t>(alias[2]), alias[3]);
        break;
    }
    case 17: last_fork = _TAVO_syncAllocate(); break;
    case 18: { const std::int32_t type = task_type(in); last_fork = _TAVO_syncForkTask(type, small_or_any(in)); break; }
    case 19: last_fork = _TAVO_syncForkTaskCurrent(); break;
    case 20: last_fork = _TAVO_syncForkTaskNowait(); break;
    case 21: _TAVO_syncJoin(in.byte() % 2 == 0 ? last_fork : small_or_any(in)); break;
    case 22: { const std::int32_t type = task_type(in); _TAVO_syncTaskwait(type, small_or_any(in)); break; }
    case 23: _TAVO_syncTaskwaitCurrent(); break;
    case 24: _TAVO_warn(static_cast<std::int32_t>(in.u32())); break;
    case 25: _TAVO_warnFrom(static_cast<std::int32_t>(in.u32()), in.u64()); break;
    case 26: {
        void* object = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x20000 + in.byte() % 4));
        switch (in.byte() % 5) {
        case 0: __zuk_sync_acquired(object); break;
        case 1: __zuk_notify_sync_releasing(object); break;
        case 2: __zuk_sync_destroy(object); break;
        case 3: __zuk_sync_prepare(object); break;
        default: __zuk_sync_cancel(object); break;
        }
        break;
    }
    default:
        // The debugger writes while the program runs: only the request word, as a real one may.
        std::atomic_ref<std::uint32_t>(__tavo_config.request).fetch_or(in.u32() & 0xE00000FFu);
        break;
    }
}

// A thread of the fuzzed program: runs the calls handed to it, one at a time; an empty one ends it.
class worker_t {
public:
    ~worker_t() { run(nullptr); thread_.join(); }  // the thread's tear-down runs before this returns
    void run(std::function<void()> work) {
        const bool ends = !work;
        work_ = std::move(work);
        go_.release();
        if (!ends) done_.acquire();
    }

private:
    std::function<void()> work_;
    std::binary_semaphore go_{0}, done_{0};
    std::thread thread_{[this] {
        for (go_.acquire(); work_; go_.acquire()) {
            work_();
            done_.release();
        }
    }};
};

}  // namespace

extern "C" void __tavo_switch_to_debugger(void) {
    if (current_input != nullptr) debugger_acts(*current_input);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    input_t in{data, size};
    __tavo_config = {TAVO_CONFIG_VERSION, 0, in.u32(), 0};
    current_input = &in;
    std::uint64_t last_fork = 0;
    {
        std::unique_ptr<worker_t> threads[3];
        for (int calls = 0; calls < 256 && !in.spent(); ++calls) {
            const std::uint8_t which = in.byte();
            std::unique_ptr<worker_t>& thread = threads[which % 3];
            if (which >= 250) {
                thread.reset();  // the thread ends
                continue;
            }
            if (!thread) thread = std::make_unique<worker_t>();
            thread->run([&] {
                stops_in_a_row = 0;
                call_entry(in, last_fork);
            });
        }
        stops_in_a_row = 0;
    }
    // Every thread has ended; the next input starts from a quiet block.
    current_input = nullptr;
    __tavo_config = {TAVO_CONFIG_VERSION, 0, 0, 0};
    return 0;
}
