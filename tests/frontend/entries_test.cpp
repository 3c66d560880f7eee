// The front end's parts linked with the core, the test playing the debugger. The __tsan_* entries:
// atomics perform the operation with exact results; accesses reach the detector with the program's
// instruction, not the front end's, as their call site (function events: the corpus's reentrant
// call). What reports are made of: the stack store shared by all threads, the heap-block registry,
// held locks as an access record's history keeps them, suppression patterns. Signals held back
// while the thread is inside the library. The reporter's option
// string and the name lists of suppressions and watched functions.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "frontend/frontend.h"
#include "frontend/heap_blocks.h"
#include "frontend/options.h"
#include "frontend/stack_store.h"
#include "frontend/suppressions.h"
#include "frontend/symbols.h"
#include "frontend/thread_stack.h"
#include "frontend/threads.h"
#include "tsm/history.h"
#include "tavo/tavo.h"

using namespace tavo::frontend;

extern "C" {
void __tsan_init(void);
void __tsan_func_entry(void*);
void __tsan_func_exit(void);
void __tsan_read4(void*);
void __tsan_write4(void*);
void __tsan_read_write4(void*);
void __tsan_write_range(void*, unsigned long);
void* __wrap_memcpy(void*, const void*, std::size_t);
void* __wrap_memset(void*, int, std::size_t);
}

// Each width, every operation: the result the program sees and the value left in memory, on
// values in the top byte, which a narrowed operation would lose.
#define TAVO_CHECK_ATOMICS(bits, T)                                                                      \
    extern "C" {                                                                                         \
    T __tsan_atomic##bits##_load(const volatile T*, int);                                                \
    void __tsan_atomic##bits##_store(volatile T*, T, int);                                               \
    T __tsan_atomic##bits##_exchange(volatile T*, T, int);                                               \
    T __tsan_atomic##bits##_fetch_add(volatile T*, T, int);                                              \
    T __tsan_atomic##bits##_fetch_sub(volatile T*, T, int);                                              \
    T __tsan_atomic##bits##_fetch_and(volatile T*, T, int);                                              \
    T __tsan_atomic##bits##_fetch_or(volatile T*, T, int);                                               \
    T __tsan_atomic##bits##_fetch_xor(volatile T*, T, int);                                              \
    T __tsan_atomic##bits##_fetch_nand(volatile T*, T, int);                                             \
    T __tsan_atomic##bits##_compare_exchange_val(volatile T*, T, T, int, int);                           \
    int __tsan_atomic##bits##_compare_exchange_strong(volatile T*, T*, T, int, int);                     \
    int __tsan_atomic##bits##_compare_exchange_weak(volatile T*, T*, T, int, int);                       \
    }                                                                                                    \
    TEST(Atomics, Width##bits##PerformsEveryOperationExactly) {                                          \
        const auto v = [](unsigned value) { return T(T(value) << (bits - 8)); };                         \
        volatile T cell = 0;                                                                             \
        __tsan_atomic##bits##_store(&cell, v(0x5a), 5);                                                  \
        EXPECT_EQ(__tsan_atomic##bits##_load(&cell, 2), v(0x5a));                                        \
        EXPECT_EQ(__tsan_atomic##bits##_exchange(&cell, v(0x21), 4), v(0x5a));                           \
        EXPECT_EQ(__tsan_atomic##bits##_fetch_add(&cell, v(3), 0), v(0x21));                             \
        EXPECT_EQ(__tsan_atomic##bits##_fetch_sub(&cell, v(4), 3), v(0x24));                             \
        EXPECT_EQ(__tsan_atomic##bits##_fetch_and(&cell, v(0x0f), 5), v(0x20));                          \
        EXPECT_EQ(__tsan_atomic##bits##_fetch_or(&cell, v(0x33), 5), v(0x00));                           \
        EXPECT_EQ(__tsan_atomic##bits##_fetch_xor(&cell, v(0x0f), 5), v(0x33));                          \
        EXPECT_EQ(__tsan_atomic##bits##_fetch_nand(&cell, v(0x3f), 5), v(0x3c));                         \
        EXPECT_EQ(cell, T(~v(0x3c & 0x3f)));                                                             \
        cell = v(7);                                                                                     \
        EXPECT_EQ(__tsan_atomic##bits##_compare_exchange_val(&cell, v(6), v(9), 5, 5), v(7));            \
        EXPECT_EQ(__tsan_atomic##bits##_compare_exchange_val(&cell, v(7), v(9), 5, 5), v(7));            \
        T expected = v(8);                                                                               \
        EXPECT_EQ(__tsan_atomic##bits##_compare_exchange_strong(&cell, &expected, v(1), 4, 2), 0);       \
        EXPECT_EQ(expected, v(9));                                                                       \
        EXPECT_EQ(__tsan_atomic##bits##_compare_exchange_strong(&cell, &expected, v(1), 4, 2), 1);       \
        expected = v(2);                                                                                 \
        EXPECT_EQ(__tsan_atomic##bits##_compare_exchange_weak(&cell, &expected, v(3), 5, 5), 0);         \
        EXPECT_EQ(expected, v(1));                                                                       \
        while (!__tsan_atomic##bits##_compare_exchange_weak(&cell, &expected, v(3), 5, 5)) {             \
        }                                                                                                \
        EXPECT_EQ(cell, v(3));                                                                           \
    }
TAVO_CHECK_ATOMICS(8, std::uint8_t)
TAVO_CHECK_ATOMICS(16, std::uint16_t)
TAVO_CHECK_ATOMICS(32, std::uint32_t)
TAVO_CHECK_ATOMICS(64, std::uint64_t)

// Written at stops, which the runtime lock serialises.
namespace {

std::vector<tavo_sharing_detection_t> sharing;
std::vector<tavo_access_t> offended;
std::vector<std::uint32_t> offended_histories;

}  // namespace

// The library stops here; this test is the debugger.
extern "C" TAVO_API __attribute__((noinline)) void __tavo_switch_to_debugger(void) {
    if (__tavo_event_reason == TAVO_EVENT_DATA_SHARING) {
        sharing.push_back(__tavo_current_detection.sharing);
        offended.push_back(__tavo_current_detection.sharing.offended[0]);
        offended_histories.push_back(tavo::offended_history(0));
    }
}

namespace {

TEST(Copies, WrappedFunctionsCopyLikeTheCLibrary) {
    char source[32] = "the quick brown fox";
    char target[32] = {};
    EXPECT_EQ(__wrap_memcpy(target, source, sizeof source), target);
    EXPECT_STREQ(target, source);
    EXPECT_EQ(__wrap_memset(target, 'x', 3), target);
    EXPECT_EQ(std::string(target, 5), "xxx q");
}

// The front end as a program running with data sharing checked: the flags switched on through
// the configuration block, as the reporter does at load.
class Checked : public ::testing::Test {
protected:
    void SetUp() override {
        __tsan_init();
        ready = true;
        __tavo_config.flags = TAVO_FLAG_TSM | TAVO_FLAG_RE;
        __tavo_config.request |= TAVO_REQUEST_PING;
        __tsan_func_entry(__builtin_return_address(0));  // any gated entry applies the request
        __tsan_func_exit();
        sharing.clear(), offended.clear(), offended_histories.clear();
    }
};

std::vector<std::uint64_t> frames(stack_id_t id) {
    std::uint64_t pcs[64];
    return {pcs, pcs + frames_of(id, pcs, 64)};
}

int shared_word;
unsigned char shared_buffer[64];

// Runs body on two type-3 tasks alive at the same time, the second starting after the first's body.
template <class Body>
void on_two_tasks(Body body) {
    std::atomic<int> step{0};
    std::thread first([&] {
        _TAVO_enterGenericTask(3, 101);
        body(0);
        step = 1;
        while (step != 2) std::this_thread::yield();
        _TAVO_leaveGenericTask(3, 101);
    });
    std::thread second([&] {
        while (step != 1) std::this_thread::yield();
        _TAVO_enterGenericTask(3, 102);
        body(1);
        step = 2;
        _TAVO_leaveGenericTask(3, 102);
    });
    first.join();
    second.join();
}

__attribute__((noinline)) void write_word() { __tsan_write4(&shared_word); }
__attribute__((noinline)) void update_word() { __tsan_read_write4(&shared_word); }
__attribute__((noinline)) void write_buffer() { __tsan_write_range(shared_buffer + 8, 16); }

bool inside(std::uint64_t address, void (*function)()) {
    const auto start = reinterpret_cast<std::uintptr_t>(function);
    return address > start && address < start + 256;
}

TEST_F(Checked, AccessSiteIsTheProgramsInstruction) {
    on_two_tasks([](int task) { task == 0 ? write_word() : update_word(); });
    ASSERT_EQ(sharing.size(), 1u);
    const tavo_access_t& offending = sharing[0].offending;  // read_write: an update
    EXPECT_EQ(std::tuple(offending.access_type, offending.size, offending.address), std::tuple(2u, 4u, std::uintptr_t(&shared_word)));
    EXPECT_TRUE(inside(offending.code_address, update_word));
    EXPECT_EQ(std::tuple(offended[0].access_type, offended[0].task_type, offended[0].task_id), std::tuple(1u, 3u, 101u));
    EXPECT_TRUE(inside(offended[0].code_address, write_word));
}

// Writes on two tasks are shared only while the active mask checks writes, here as the guard allows.
TEST_F(Checked, PlainAccessesFollowTheActiveMask) {
    for (const auto& [guard, shared] : {std::pair{~0u, 1u}, {~TAVO_ACTIVE_WRITES, 0u}}) {
        tavo::guard_mask = guard;
        sharing.clear();
        on_two_tasks([](int) { write_word(); });
        EXPECT_EQ(sharing.size(), shared) << guard;
    }
    tavo::guard_mask = ~0u;
    tavo::runtime.recompute_active_mask_checked();
}

// The earlier access's record keeps the stack of calls it was made in (without the outermost
// caller, which lies outside instrumented code), unless history is off.
TEST_F(Checked, EarlierAccessKeepsItsStackWhenHistoryIsOn) {
    for (const bool history : {true, false}) {
        keep_history_from_here(history);
        offended_histories.clear();
        on_two_tasks([](int task) {
            if (task == 1) return update_word();
            for (std::uintptr_t caller : {0x1000, 0x2000, 0x3000}) __tsan_func_entry(reinterpret_cast<void*>(caller));
            write_word();
            for (int exits = 0; exits < 3; ++exits) __tsan_func_exit();
        });
        ASSERT_EQ(offended_histories.size(), 1u) << history;
        EXPECT_EQ(frames(offended_histories[0]), (history ? std::vector<std::uint64_t>{0x3000, 0x2000} : std::vector<std::uint64_t>{}));
    }
    keep_history_from_here(true);
}

// A 16-byte range written at offset 8 against a memset elsewhere: shared when they overlap.
TEST_F(Checked, RangesAndCopiesAreSharedWhereTheyOverlap) {
    static std::size_t offset, size;
    for (const auto& [at, bytes, shared] : {std::tuple{20, 4, true}, {32, 8, false}, {4, 5, true}}) {
        offset = at, size = bytes, sharing.clear(), offended.clear();
        on_two_tasks([](int task) { task == 0 ? write_buffer() : (void)__wrap_memset(shared_buffer + offset, 0, size); });
        ASSERT_EQ(sharing.size(), shared ? 1u : 0u) << at;
        if (!shared) continue;
        EXPECT_TRUE(inside(offended[0].code_address, write_buffer));
        EXPECT_GE(sharing[0].offending.address, reinterpret_cast<std::uintptr_t>(shared_buffer + offset));
    }
}

// A write, then an atomic store and a load that sees it, then an update on another task: ordered
// by a release and an acquire only.
TEST_F(Checked, OnlyReleaseAndAcquireOnAnAtomicOrderTheAccesses) {
    static int store_order, load_order;
    for (const auto& [store, load, shared] : {std::tuple{3, 2, false}, {5, 5, false}, {0, 0, true}, {3, 0, true}, {0, 2, true}}) {
        static volatile std::uint32_t flag;
        store_order = store, load_order = load, sharing.clear();
        flag = 0;
        on_two_tasks([](int task) {
            if (task == 0) return write_word(), __tsan_atomic32_store(&flag, 1, store_order);
            EXPECT_EQ(__tsan_atomic32_load(&flag, load_order), 1u);
            update_word();
        });
        EXPECT_EQ(sharing.size(), shared ? 1u : 0u) << store << " " << load;
    }
}

// A plain read, a plain write and a relaxed atomic load on two tasks: atomic loads conflict with
// writes only.
TEST_F(Checked, AtomicLoadsConflictWithPlainWritesOnly) {
    static void (*const accesses[])() = {[] { __tsan_read4(&shared_word); }, [] { __tsan_write4(&shared_word); },
                                         [] { (void)__tsan_atomic32_load(reinterpret_cast<volatile std::uint32_t*>(&shared_word), 0); }};
    static int first, second;
    for (const auto& [a, b, shared] : {std::tuple{0, 2, false}, {2, 0, false}, {2, 2, false}, {1, 2, true}, {2, 1, true}}) {
        first = a, second = b, sharing.clear();
        on_two_tasks([](int task) { accesses[task == 0 ? first : second](); });
        EXPECT_EQ(sharing.size(), shared ? 1u : 0u) << a << " " << b;
    }
}

// The keys and forms that no end-to-end case sets (those run in the corpus, the report case and the
// symbolizer case): tab and space separators, double quotes, switches off; watching functions
// switches reentrancy on (the corpus's reentrant call) unless told otherwise.
TEST(Options, EveryKeyWithAnySeparatorAndQuotes) {
    options_t options;
    EXPECT_TRUE(parse_options(nullptr, options));
    EXPECT_FALSE(options.re);
    EXPECT_TRUE(parse_options("tsm=0:re=1, halt_on_error=1\tsymbolize=0 history=0 log_path=\"/tmp/a b\"", options));
    EXPECT_EQ(std::tuple(options.tsm, options.re, options.halt_on_error, options.symbolize, options.history),
              std::tuple(false, true, true, false, false));
    EXPECT_STREQ(options.log_path, "/tmp/a b");
    options_t explicitly_off;
    EXPECT_TRUE(parse_options("re=0:watch=format", explicitly_off));
    EXPECT_FALSE(explicitly_off.re);
    EXPECT_STREQ(explicitly_off.watch, "format");
}

TEST(Options, EachBadEntryIsOneLineNamingTheValidKeysAndTheRestApplies) {
    options_t options;
    testing::internal::CaptureStderr();
    const bool valid = parse_options("exitcode=300:tsm=2 colour=1,novalue format=xml exitcode=9x re=1 log_path='open", options);
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(valid);
    for (const char* line : {"malformed value in 'exitcode=300'", "malformed value in 'tsm=2'", "unknown option 'colour'",
                             "no value for 'novalue'", "malformed value in 'format=xml'",
                             "malformed value in 'exitcode=9x'", "unterminated quote in 'log_path='open'"})
        EXPECT_NE(text.find(std::string("tavo: ") + line + " in TAVO_OPTIONS; valid options: tsm=0|1"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7) << text;
    EXPECT_EQ(std::tuple(options.exit_code, options.tsm, options.re), std::tuple(66, true, true));
    EXPECT_STREQ(options.log_path, "");
}

// Function names match whole or with parameters; files by trailing path components.
TEST(Options, NamesAndFilesMatch) {
    for (const auto& [match, list, name, expected] : {
             std::tuple{&names_match, "log,format_label", "format_label", true}, {names_match, "format_label", "format_label(int)", true},
             {names_match, "format", "format_label", false}, {names_match, "format_label", "format", false}, {names_match, "", "format", false},
             {files_match, "counter.c", "/src/app/counter.c:12", true}, {files_match, "app/counter.c", "/src/app/counter.c:12", true},
             {files_match, "ounter.c", "/src/app/counter.c:12", false}, {files_match, "counter.c:12", "/src/app/counter.c:12", false},
             {files_match, "x.c,counter.c", "counter.c:1", true}})
        EXPECT_EQ(match(list, name), expected) << list << " " << name;
}

// Threads racing to make the same stacks get the same ids, and every id reads back its frames.
TEST(StackStore, ConcurrentThreadsShareEachStackOnce) {
    constexpr int thread_count = 4, chains = 200, depth = 12;
    std::vector<std::vector<stack_id_t>> ids(thread_count, std::vector<stack_id_t>(chains * depth));
    std::vector<std::thread> threads;
    for (int thread = 0; thread < thread_count; ++thread)
        threads.emplace_back([&, thread] {
            for (int chain = 0; chain < chains; ++chain) {
                stack_id_t id = 0;
                for (int level = 0; level < depth; ++level)
                    ids[thread][chain * depth + level] = id =
                        intern(id, node_kind_t::frame, 0x400000 + chain * 0x100 + level * 8);
            }
        });
    for (auto& thread : threads) thread.join();
    for (int thread = 1; thread < thread_count; ++thread) EXPECT_EQ(ids[thread], ids[0]);
    for (int chain = 0; chain < chains; ++chain) {
        std::vector<std::uint64_t> expected;  // innermost first
        for (int level = depth - 1; level >= 0; --level) expected.push_back(0x400000u + chain * 0x100 + level * 8);
        EXPECT_EQ(frames(ids[0][chain * depth + depth - 1]), expected);
    }
    EXPECT_NE(intern(0, node_kind_t::frame, 0x1000), intern(0, node_kind_t::read_lock, 0x1000));
}

// A lock's node keeps the stack that took it; the history of an access made meanwhile names it.
TEST(HeldLocks, HistoryNamesTheLocksHeldAndWhereTheyWereTaken) {
    int first = 0, second = 0;
    keep_history_from_here(true);
    lock_acquired(&first, true, 0x5000);
    lock_acquired(&second, false, 0x6000);
    const stack_id_t with_both = tavo::access_history();
    lock_released(&first);
    held_lock_t locks[4];
    ASSERT_EQ(held_locks(locks, 4), 1u);
    EXPECT_EQ(locks[0].address, reinterpret_cast<std::uintptr_t>(&second));
    ASSERT_EQ(locks_of(with_both, locks, 4), 2u);  // newest first
    EXPECT_EQ(std::tuple(locks[0].address, locks[0].write, locks[1].address, locks[1].write),
              std::tuple(std::uintptr_t(&second), false, std::uintptr_t(&first), true));
    EXPECT_EQ(frames(locks[0].where), std::vector<std::uint64_t>{0x6000});
    lock_released(&second);
    EXPECT_EQ(held_locks(locks, 4), 0u);
    EXPECT_EQ(locks_of(tavo::access_history(), locks, 4), 0u);
}

TEST(HeapBlocks, EveryLiveBlockIsFoundByAnyOfItsBytesUntilFreed) {
    constexpr std::size_t count = 30000;  // past the first growth of every shard, with collisions
    std::vector<std::uintptr_t> bases;
    for (std::size_t index = 0; index < count; ++index) bases.push_back(0x10000000 + index * 64);
    for (std::uintptr_t base : bases) heap_block_allocated(reinterpret_cast<void*>(base), 40, reinterpret_cast<void*>(0x7000));
    heap_block_t block;
    for (std::size_t index = 0; index < count; index += 61) {
        ASSERT_TRUE(heap_block_containing(bases[index] + 39, block)) << index;
        EXPECT_EQ(std::tuple(block.base, block.size), std::tuple(bases[index], std::size_t{40}));
        EXPECT_EQ(frames(block.allocated_at), std::vector<std::uint64_t>{0x7000});
        EXPECT_FALSE(heap_block_containing(bases[index] + 40, block));
    }
    for (std::size_t index = 0; index < count; index += 2) heap_block_freed(reinterpret_cast<void*>(bases[index]));
    EXPECT_EQ(heap_blocks_held(), count / 2);
    for (std::size_t index = 0; index < count; index += 97)
        EXPECT_EQ(heap_block_containing(bases[index] + 8, block), index % 2 == 1) << index;
    for (std::size_t index = 1; index < count; index += 2) heap_block_freed(reinterpret_cast<void*>(bases[index]));
    EXPECT_EQ(heap_blocks_held(), 0u);
}

TEST(Suppressions, PatternsMatchAnywhereUnlessAnchored) {
    for (const auto& [pattern, text, match] : {
             std::tuple<const char*, const char*, bool>{"bump", "bump_statistics", true}, {"stat", "bump_statistics", true},
             {"^stat", "bump_statistics", false}, {"^bump$", "bump_statistics", false}, {"^bump$", "bump", true},
             {"bump*tics", "bump_statistics", true}, {"^b*s$", "bump_statistics", true}, {"*", "anything", true},
             {"cache::*::get", "cache::lru::get(int)", true}, {"libfoo.so", "/usr/lib/libfoo.so.1", true}, {"x", nullptr, false},
             {"", "text", false}})
        EXPECT_EQ(template_match(pattern, text), match) << pattern << " " << (text ? text : "");
}

volatile sig_atomic_t handled_signals;
// Counts, and notes a call site as any entry of the library would.
void count_signal(int) {
    handled_signals = handled_signals + 1;
    tavo::obtain_thread_record()->last_site = 0x9000;
}

// The quick part of a plain access, which takes no depth: the thread's task busy in the detector.
void* quick_part_busy(void* busy) {
    return std::atomic_ref<void*>(tavo::obtain_thread_record()->current_task->shadow->busy).exchange(busy);
}
void enter_quick_part() {
    static int any;
    quick_part_busy(&any);
}
bool leave_quick_part() {
    quick_part_busy(nullptr);
    return leave_quick_part_quietly();
}

// A signal that arrives inside the library, or inside the quick part of a plain access, waits
// until the thread leaves and is delivered then. One that runs at once leaves the thread's call
// site as it found it: a quick part may have noted its own before it made its task busy.
TEST(Signals, WaitWhileTheThreadIsInsideTheLibraryOrAQuickPart) {
    struct sigaction action = {};
    action.sa_handler = count_signal;
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
    const std::pair<void (*)(), bool (*)()> stretches[] = {{enter_library, leave_library_quietly},
                                                           {enter_quick_part, leave_quick_part}};
    for (const auto& [enter, leave] : stretches) {
        handled_signals = 0;
        enter();
        raise(SIGUSR1);
        EXPECT_EQ(handled_signals, 0);
        EXPECT_TRUE(leave());
        deliver_deferred_signals();
        EXPECT_EQ(handled_signals, 1);
    }
    tavo::obtain_thread_record()->last_site = 0x5000;
    raise(SIGUSR1);
    EXPECT_EQ(handled_signals, 2);
    EXPECT_EQ(tavo::obtain_thread_record()->last_site, 0x5000u);
    action.sa_handler = SIG_DFL;
    sigaction(SIGUSR1, &action, nullptr);
}

}  // namespace

// Functions found by name in the symbol tables of the loaded modules.
extern "C" __attribute__((noinline, used)) int tavo_symbol_probe(int value) { return value * 3 + 1; }
namespace probe {
__attribute__((noinline, used)) int scaled(int value) { return value * 5 - 2; }
}  // namespace probe

TEST(Symbols, FunctionsAreFoundByPlainAndDemangledNames) {
    code_range_t ranges[4] = {};
    ASSERT_EQ(find_functions("no_such_function_anywhere,tavo_symbol_probe", ranges, 4), 1u);
    EXPECT_EQ(ranges[0].base, reinterpret_cast<std::uintptr_t>(&tavo_symbol_probe));
    EXPECT_GT(ranges[0].length, 0u);
    ASSERT_EQ(find_functions("probe::scaled", ranges, 4), 1u);
    EXPECT_EQ(ranges[0].base, reinterpret_cast<std::uintptr_t>(&probe::scaled));
    EXPECT_EQ(find_functions("scaled", ranges, 4), 0u);
    EXPECT_EQ(find_functions("", ranges, 4), 0u);
    EXPECT_EQ(tavo_symbol_probe(1) + probe::scaled(1), 7);
}
