// The entries both compilers emit under -fsanitize=thread, mapped onto tavo's operations with the
// program's own instruction (the entry's return address) as the call site.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "frontend/frontend.h"
#include "frontend/host.h"
#include "frontend/thread_stack.h"
#include "runtime/runtime.h"
#include "tavo/tavo.h"
#include "tsm/history.h"

using namespace tavo;
using namespace tavo::frontend;

#define TAVO_FRONT extern "C" TAVO_API
#define CALLER site_of(__builtin_return_address(0))

namespace {

// Function events need the function and its frame again at exit, which has no argument: a
// per-thread shadow stack keeps them, with the caller's return address and the stack id of the
// calls up to this one. Frames deeper than the capacity are counted, not recorded.
// A slot keeps the caller and parent of its last frame, so that a call made again from the same
// place reuses the id without a look-up in the store.
struct frame_t {
    const void* function;
    std::uintptr_t stack;
    std::uint64_t caller;
    stack_id_t id;
    stack_id_t parent;
};
constexpr std::size_t shadow_capacity = 512;
// The library is loaded with the program, never opened later: its thread-locals can be reached
// without a call.
#define TAVO_TLS thread_local __attribute__((tls_model("initial-exec")))
TAVO_TLS frame_t shadow[shadow_capacity];
TAVO_TLS std::size_t shadow_depth = 0;
TAVO_TLS stack_id_t lockset = 0;

stack_id_t top_id() noexcept {
    const std::size_t depth = shadow_depth < shadow_capacity ? shadow_depth : shadow_capacity;
    return depth == 0 ? 0 : shadow[depth - 1].id;
}

// The engine asks for it as it makes a record.
std::uint32_t history_now() noexcept {
    const stack_id_t stack = top_id();
    return lockset == 0 ? stack : intern(stack, node_kind_t::with_locks, 0, lockset);
}

// The function entries' own first test, made here to save the call while reentrant calls are not
// checked (their family bit is then clear); a pending request still goes in, to be applied there.
bool function_events_wanted() noexcept {
    return ready.load(std::memory_order_relaxed) && (request_word() != 0 || (active_mask() & TAVO_ACTIVE_FUNCTION) != 0);
}

void leave_top(std::uint64_t site) noexcept {
    --shadow_depth;
    if (shadow_depth < shadow_capacity && function_events_wanted()) {
        const frame_t& frame = shadow[shadow_depth];
        function_from(false, frame.function, reinterpret_cast<const void*>(frame.stack), site);
    }
}

// The frames recorded deeper than the frame whose stack pointer is `stack` left without their exit
// hooks: they are left here, innermost first.
void leave_frames_below(std::uintptr_t stack, std::uint64_t site) noexcept {
    while (shadow_depth > 0 && shadow_depth <= shadow_capacity && shadow[shadow_depth - 1].stack < stack) leave_top(site);
}

}  // namespace

namespace tavo::frontend {

std::atomic<bool> ready{false};
bool unwatched_child = false;
std::atomic<std::uint64_t> openmp_code_begin{0}, openmp_code_end{0};
bool keep_history = true;

stack_id_t current_stack() noexcept { return top_id(); }

std::size_t current_frames(std::uint64_t* pcs, std::size_t capacity) noexcept {
    std::size_t count = 0;
    for (std::size_t index = shadow_depth < shadow_capacity ? shadow_depth : shadow_capacity; index > 1 && count < capacity;)
        pcs[count++] = shadow[--index].caller;
    return count;
}

stack_id_t stack_unwound(std::uint64_t site) noexcept {
    const std::size_t depth = shadow_depth < shadow_capacity ? shadow_depth : shadow_capacity;
    void* pcs[64];
    const int count = depth != 0 ? unwind_stack(pcs, 64) : 0;
    int first = 0;
    while (first < count && reinterpret_cast<std::uintptr_t>(pcs[first]) != site) ++first;
    // The innermost instrumented function was called from the return address it recorded: the
    // frames above that one are the ones the shadow stack does not know.
    int last = first;
    while (last < count && reinterpret_cast<std::uintptr_t>(pcs[last]) != shadow[depth - 1].caller) ++last;
    if (last >= count) return stack_at(site);
    stack_id_t id = keep_history ? current_stack() : 0;
    while (last-- > first) id = intern(id, node_kind_t::frame, reinterpret_cast<std::uintptr_t>(pcs[last]));
    return id;
}

void set_lockset(stack_id_t locks) noexcept { lockset = locks; }

void keep_history_from_here(bool keep) noexcept {
    keep_history = keep;
    access_history = keep ? history_now : nullptr;
}

}  // namespace tavo::frontend

namespace {

// Memory orders as the compilers pass them.
constexpr int order_consume = 1, order_acquire = 2, order_release = 3, order_acq_rel = 4;  // 5: seq_cst
bool acquires(int order) { return order == order_consume || order == order_acquire || order >= order_acq_rel; }
bool releases(int order) { return order == order_release || order >= order_acq_rel; }

// Every atomic is performed sequentially consistent, which is at least as strong as asked; the
// ordering tavo records follows the order the program gave. Release is recorded before the value
// becomes visible and acquire after it was read, so no reader can see the value without the edge.
// A read-modify-write that does not release leaves the object's clock alone, and so continues the
// release sequence of the releases before it. Acquiring is weak: a variable nobody released into
// gets no object. A read that does not acquire is noted for the thread's next acquire fence.
//
// The access and the synchronisation before the operation go in one entry; for an operation that
// reads, the entry returns the record to finish the read with after the operation, which
// `acquires_after(result)` says whether it acquires. One stay in the library covers the three.
template <class Operation, class Acquires>
auto atomic_operation(const volatile void* address, std::uint32_t size, access_t type, std::uint32_t order, bool reads,
                      std::uint64_t site, Operation&& operation, Acquires&& acquires_after) noexcept {
    if (!ready.load(std::memory_order_relaxed)) return operation();
    inside_library_t inside;
    if (from_openmp_runtime(site)) order = 0, reads = false;
    thread_record_t* record = atomic_from(const_cast<const void*>(address), size, type, order, reads, site);
    const auto result = operation();
    if (record != nullptr) atomic_read(*record, const_cast<const void*>(address), acquires_after(result), site);
    return result;
}

template <class T, class Operation>
T atomic_update(volatile T* address, int order, std::uint64_t site, Operation operation) noexcept {
    return atomic_operation(address, sizeof(T), atomic_access, releases(order) ? memory_order::release : 0, true, site,
                            operation, [order](T) { return acquires(order); });
}

template <class T>
T atomic_load(const volatile T* address, int order, std::uint64_t site) noexcept {
    return atomic_operation(
        address, sizeof(T), atomic_read_access, 0, true, site, [address] { return __atomic_load_n(address, __ATOMIC_SEQ_CST); },
        [order](T) { return acquires(order); });
}

// A store, of any thread and any order, ends the release sequences before it: whoever reads the
// stored value synchronises with this store alone, if it releases, and with nothing otherwise.
template <class T>
void atomic_store(volatile T* address, T value, int order, std::uint64_t site) noexcept {
    atomic_operation(
        address, sizeof(T), atomic_access, releases(order) ? memory_order::store_release : memory_order::store_relaxed,
        false, site, [address, value] {
            __atomic_store_n(address, value, __ATOMIC_SEQ_CST);
            return 0;
        },
        [](int) { return false; });
}

template <class T>
T compare_exchange(volatile T* a, T expected, T value, int order, int failure_order, std::uint64_t site) noexcept {
    return atomic_operation(
        a, sizeof(T), atomic_access, releases(order) ? memory_order::release : 0, true, site,
        [a, expected, value] {
            T old = expected;
            __atomic_compare_exchange_n(a, &old, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
            return old;
        },
        [&](T old) { return acquires(old == expected ? order : failure_order); });
}

}  // namespace

std::uintptr_t tavo::frontend::innermost_frame() noexcept {
    return shadow_depth > 0 && shadow_depth <= shadow_capacity ? shadow[shadow_depth - 1].stack : 0;
}

void tavo::frontend::frames_jumped_over(std::uintptr_t stack) noexcept {
    inside_library_t inside;
    leave_frames_below(stack, 0);
}

// Called from every instrumented unit's constructor, possibly many times. The runtime builds
// itself while this library loads, before any code that depends on it runs, and every entry
// stays inert until then (ready), so there is nothing left to do here.
TAVO_FRONT void __tsan_init(void) {}

TAVO_FRONT void __tsan_func_entry(void* caller) {
    // The hook's return address lies a few bytes into the callee: stable per function.
    const void* function = __builtin_return_address(0);
    const auto stack = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) + 16;
    const std::uint64_t site = site_of(caller);
    inside_library_t inside;
    // A longjmp skips exit hooks: frames recorded deeper than this one are gone.
    leave_frames_below(stack, site);
    if (shadow_depth < shadow_capacity) {
        frame_t& frame = shadow[shadow_depth];
        // The outermost caller lies in code that was not instrumented: it starts no stack.
        const stack_id_t parent = top_id();
        if (!keep_history || shadow_depth == 0) frame.id = 0;
        else if (frame.caller != site || frame.parent != parent || frame.id == 0) frame.id = intern(parent, node_kind_t::frame, site);
        frame.function = function;
        frame.stack = stack;
        frame.caller = site;
        frame.parent = parent;
    }
    ++shadow_depth;
    if (function_events_wanted()) function_from(true, function, reinterpret_cast<const void*>(stack), site);
}

TAVO_FRONT void __tsan_func_exit(void) {
    if (shadow_depth == 0) return;
    inside_library_t inside;
    if (!ready.load(std::memory_order_relaxed)) {
        --shadow_depth;
        return;
    }
    leave_top(CALLER);
}

// The fence comes first: an acquiring one then takes what the reads before it saw.
TAVO_FRONT void __tsan_atomic_thread_fence(int order) {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    const std::uint64_t site = CALLER;
    if (ready.load(std::memory_order_relaxed) && !from_openmp_runtime(site) && order != 0) {
        inside_library_t inside;
        fence_from(acquires(order), releases(order), site);
    }
}
// A signal fence orders the thread with its own signal handlers, which run as the thread itself.
TAVO_FRONT void __tsan_atomic_signal_fence(int) { __atomic_signal_fence(__ATOMIC_SEQ_CST); }

TAVO_FRONT void __tsan_ignore_thread_begin(void) {}
TAVO_FRONT void __tsan_ignore_thread_end(void) {}

#define TAVO_ATOMICS(bits, T)                                                                                       \
    TAVO_FRONT T __tsan_atomic##bits##_load(const volatile T* a, int mo) { return atomic_load(a, mo, CALLER); }      \
    TAVO_FRONT void __tsan_atomic##bits##_store(volatile T* a, T v, int mo) { atomic_store(a, v, mo, CALLER); }    \
    TAVO_FRONT T __tsan_atomic##bits##_exchange(volatile T* a, T v, int mo) {                                      \
        return atomic_update(a, mo, CALLER, [&] { return __atomic_exchange_n(a, v, __ATOMIC_SEQ_CST); });          \
    }                                                                                                               \
    TAVO_FRONT T __tsan_atomic##bits##_fetch_add(volatile T* a, T v, int mo) {                                     \
        return atomic_update(a, mo, CALLER, [&] { return __atomic_fetch_add(a, v, __ATOMIC_SEQ_CST); });           \
    }                                                                                                               \
    TAVO_FRONT T __tsan_atomic##bits##_fetch_sub(volatile T* a, T v, int mo) {                                     \
        return atomic_update(a, mo, CALLER, [&] { return __atomic_fetch_sub(a, v, __ATOMIC_SEQ_CST); });           \
    }                                                                                                               \
    TAVO_FRONT T __tsan_atomic##bits##_fetch_and(volatile T* a, T v, int mo) {                                     \
        return atomic_update(a, mo, CALLER, [&] { return __atomic_fetch_and(a, v, __ATOMIC_SEQ_CST); });           \
    }                                                                                                               \
    TAVO_FRONT T __tsan_atomic##bits##_fetch_or(volatile T* a, T v, int mo) {                                      \
        return atomic_update(a, mo, CALLER, [&] { return __atomic_fetch_or(a, v, __ATOMIC_SEQ_CST); });            \
    }                                                                                                               \
    TAVO_FRONT T __tsan_atomic##bits##_fetch_xor(volatile T* a, T v, int mo) {                                     \
        return atomic_update(a, mo, CALLER, [&] { return __atomic_fetch_xor(a, v, __ATOMIC_SEQ_CST); });           \
    }                                                                                                               \
    TAVO_FRONT T __tsan_atomic##bits##_fetch_nand(volatile T* a, T v, int mo) {                                    \
        return atomic_update(a, mo, CALLER, [&] { return __atomic_fetch_nand(a, v, __ATOMIC_SEQ_CST); });          \
    }                                                                                                               \
    TAVO_FRONT T __tsan_atomic##bits##_compare_exchange_val(volatile T* a, T c, T v, int mo, int fail) {          \
        return compare_exchange(a, c, v, mo, fail, CALLER);                                                         \
    }                                                                                                               \
    TAVO_FRONT int __tsan_atomic##bits##_compare_exchange_strong(volatile T* a, T* c, T v, int mo, int fail) {     \
        const T expected = *c;                                                                                      \
        const T old = compare_exchange(a, expected, v, mo, fail, CALLER);                                           \
        if (old == expected) return 1;                                                                              \
        *c = old;                                                                                                   \
        return 0;                                                                                                   \
    }                                                                                                               \
    TAVO_FRONT int __tsan_atomic##bits##_compare_exchange_weak(volatile T* a, T* c, T v, int mo, int fail) {       \
        const T expected = *c;                                                                                      \
        const T old = compare_exchange(a, expected, v, mo, fail, CALLER);                                           \
        if (old == expected) return 1;                                                                              \
        *c = old;                                                                                                   \
        return 0;                                                                                                   \
    }

TAVO_ATOMICS(8, std::uint8_t)
TAVO_ATOMICS(16, std::uint16_t)
TAVO_ATOMICS(32, std::uint32_t)
TAVO_ATOMICS(64, std::uint64_t)

// The wrapper links instrumented objects with --wrap for these, so only the program's own calls
// arrive here; the library's calls go to the C library directly.
TAVO_FRONT void* __wrap_memcpy(void* target, const void* source, std::size_t size) {
    access(source, size, read_access, CALLER);
    access(target, size, write_access, CALLER);
    return std::memcpy(target, source, size);
}
TAVO_FRONT void* __wrap_memmove(void* target, const void* source, std::size_t size) {
    access(source, size, read_access, CALLER);
    access(target, size, write_access, CALLER);
    return std::memmove(target, source, size);
}
TAVO_FRONT void* __wrap_memset(void* target, int value, std::size_t size) {
    access(target, size, write_access, CALLER);
    return std::memset(target, value, size);
}
