// The __tsan_* entries linked with the core, the test playing the debugger: atomics perform the
// operation with exact results; accesses reach the detector with the program's instruction, not
// the front end's, as their call site (function events: the corpus's reentrant call).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <tuple>
#include <vector>

#include "frontend/frontend.h"
#include "frontend/thread_stack.h"
#include "tsm/history.h"
#include "tavo/tavo.h"

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
#define TAVO_DECLARE_ATOMICS(bits, T)                                                  \
    T __tsan_atomic##bits##_load(const volatile T*, int);                              \
    void __tsan_atomic##bits##_store(volatile T*, T, int);                             \
    T __tsan_atomic##bits##_exchange(volatile T*, T, int);                             \
    T __tsan_atomic##bits##_fetch_add(volatile T*, T, int);                            \
    T __tsan_atomic##bits##_fetch_sub(volatile T*, T, int);                            \
    T __tsan_atomic##bits##_fetch_and(volatile T*, T, int);                            \
    T __tsan_atomic##bits##_fetch_or(volatile T*, T, int);                             \
    T __tsan_atomic##bits##_fetch_xor(volatile T*, T, int);                            \
    T __tsan_atomic##bits##_fetch_nand(volatile T*, T, int);                           \
    T __tsan_atomic##bits##_compare_exchange_val(volatile T*, T, T, int, int);         \
    int __tsan_atomic##bits##_compare_exchange_strong(volatile T*, T*, T, int, int);   \
    int __tsan_atomic##bits##_compare_exchange_weak(volatile T*, T*, T, int, int);
TAVO_DECLARE_ATOMICS(8, std::uint8_t)
TAVO_DECLARE_ATOMICS(16, std::uint16_t)
TAVO_DECLARE_ATOMICS(32, std::uint32_t)
TAVO_DECLARE_ATOMICS(64, std::uint64_t)
}

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

// Each width, every operation: the result the program sees and the value left in memory, on
// values in the top byte, which a narrowed operation would lose.
#define TAVO_CHECK_ATOMICS(bits, T)                                                                      \
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
        EXPECT_EQ(cell, v(7));                                                                           \
        EXPECT_EQ(__tsan_atomic##bits##_compare_exchange_val(&cell, v(7), v(9), 5, 5), v(7));            \
        EXPECT_EQ(cell, v(9));                                                                           \
        T expected = v(8);                                                                               \
        EXPECT_EQ(__tsan_atomic##bits##_compare_exchange_strong(&cell, &expected, v(1), 4, 2), 0);       \
        EXPECT_EQ(expected, v(9));                                                                       \
        EXPECT_EQ(__tsan_atomic##bits##_compare_exchange_strong(&cell, &expected, v(1), 4, 2), 1);       \
        EXPECT_EQ(cell, v(1));                                                                           \
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
        tavo::frontend::ready = true;
        __tavo_config.flags = TAVO_FLAG_TSM | TAVO_FLAG_RE;
        __tavo_config.request |= TAVO_REQUEST_PING;
        __tsan_func_entry(__builtin_return_address(0));  // any gated entry applies the request
        __tsan_func_exit();
        sharing.clear();
        offended.clear();
        offended_histories.clear();
    }
};

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
    EXPECT_EQ(sharing[0].offending.access_type, 2u);  // read_write: an update
    EXPECT_EQ(sharing[0].offending.size, 4u);
    EXPECT_EQ(sharing[0].offending.address, reinterpret_cast<std::uintptr_t>(&shared_word));
    EXPECT_TRUE(inside(sharing[0].offending.code_address, update_word));
    EXPECT_EQ(offended[0].access_type, 1u);
    EXPECT_TRUE(inside(offended[0].code_address, write_word));
    EXPECT_EQ(offended[0].task_type, 3u);
    EXPECT_EQ(offended[0].task_id, 101u);
}

// The earlier access's record keeps the stack of calls it was made in (without the outermost
// caller, which lies outside instrumented code), unless history is off.
TEST_F(Checked, EarlierAccessKeepsItsStackWhenHistoryIsOn) {
    for (const bool history : {true, false}) {
        tavo::frontend::keep_history_from_here(history);
        offended_histories.clear();
        on_two_tasks([](int task) {
            if (task == 1) return update_word();
            for (std::uintptr_t caller : {0x1000, 0x2000, 0x3000}) __tsan_func_entry(reinterpret_cast<void*>(caller));
            write_word();
            for (int exits = 0; exits < 3; ++exits) __tsan_func_exit();
        });
        ASSERT_EQ(offended_histories.size(), 1u) << history;
        std::uint64_t pcs[8];
        const std::size_t count = tavo::frontend::frames_of(offended_histories[0], pcs, 8);
        const std::vector<std::uint64_t> expected = history ? std::vector<std::uint64_t>{0x3000, 0x2000} : std::vector<std::uint64_t>{};
        EXPECT_EQ(std::vector<std::uint64_t>(pcs, pcs + count), expected);
    }
    tavo::frontend::keep_history_from_here(true);
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
        store_order = store, load_order = load, sharing.clear();
        static volatile std::uint32_t flag;
        flag = 0;
        on_two_tasks([](int task) {
            if (task == 0) {
                write_word();
                __tsan_atomic32_store(&flag, 1, store_order);
            } else {
                EXPECT_EQ(__tsan_atomic32_load(&flag, load_order), 1u);
                update_word();
            }
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

}  // namespace
