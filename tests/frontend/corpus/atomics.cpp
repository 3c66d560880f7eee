// tavo: racy
// tavo-fixed
// tavo-reports: 5
// tavo-expect: in acquire_fence
// tavo-expect: in seq_cst_fence
// An atomic load races with a plain write, never with a plain read. A release sequence ends at
// another thread's store, so a thread that acquires that store's value is not ordered after the
// data published before the release; fixed, the other thread's read-modify-write continues it.
// Fences with relaxed atomics. An acquire fence orders the thread after the releases whose values
// its earlier relaxed reads read, and after no other: the racy reader reads the flag before the
// writer's release. A release fence orders what the thread did before it for whoever acquires a
// value that a later relaxed write stored, a store or a read-modify-write alike, and nothing done
// after the fence. A sequentially consistent fence is both: the racy writer has none. Each writer
// stays until its reader has read (relaxed: that orders nothing), so that the C library's locking
// at a thread's end cannot order it for a reader that starts late.
#include <atomic>
#include <cstdio>
#include <thread>

#include "rendezvous.h"

static long value;
static int payload, acquired, early, late, counted_seen, fenced;
static std::atomic<int> flag{0}, published{0}, relayed{0}, ready{0}, done{0}, stored{0}, counted{0}, read{0};

static int acquire_fence() {
    flag.store(0, std::memory_order_release);  // the flag has a clock before the reader's first read
    std::thread writer([] {
        wait_until(&ready, 1);
        acquired = 1;  // race
        flag.store(1, std::memory_order_release);
        done.store(1, std::memory_order_relaxed);
        wait_until(&read, 1);
    });
    int seen = ONLY_RACY(flag.load(std::memory_order_relaxed) +) 0;
    ready.store(1, std::memory_order_relaxed);
    wait_until(RACY_OR_FIXED(&done, &flag), 1);
    std::atomic_thread_fence(std::memory_order_acquire);
    seen += acquired;  // race
    read.store(1, std::memory_order_relaxed);
    writer.join();
    return seen;
}

static int release_fence() {
    int seen = 0;
    read.store(0, std::memory_order_relaxed);
    std::thread writer([] {
        early = 1;
        ONLY_FIXED(late = 2);
        std::atomic_thread_fence(std::memory_order_release);
        ONLY_RACY(late = 2);  // race
        stored.store(1, std::memory_order_relaxed);
        counted.fetch_add(1, std::memory_order_relaxed);
        wait_until(&read, 1);
    });
    std::thread reader([&seen] {
        while (!stored.load(std::memory_order_acquire)) std::this_thread::yield();
        seen = early + late;  // race
        read.store(1, std::memory_order_relaxed);
    });
    std::thread counter([] {
        while (!counted.load(std::memory_order_acquire)) std::this_thread::yield();
        counted_seen = early;
    });
    writer.join();
    reader.join();
    counter.join();
    return seen + counted_seen;
}

static int seq_cst_fence() {
    std::atomic<int> fenced_flag{0};
    read.store(0, std::memory_order_relaxed);
    std::thread writer([&fenced_flag] {
        fenced = 1;  // race
        ONLY_FIXED(std::atomic_thread_fence(std::memory_order_seq_cst));
        fenced_flag.store(1, std::memory_order_relaxed);
        wait_until(&read, 1);
    });
    wait_until(&fenced_flag, 1);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const int seen = fenced;  // race
    read.store(1, std::memory_order_relaxed);
    writer.join();
    return seen;
}

static long atomic_loads() {
    long loaded = 0, plain = 0;
    int consumed = 0;
    std::thread writer([&] {
        ONLY_FIXED(plain = value);
        ONLY_RACY(value = 5);  // race
        payload = 42;  // race
        published.store(1, std::memory_order_release);
        rendezvous(4);
    });
    std::thread loader([&loaded] {
        loaded = __atomic_load_n(&value, __ATOMIC_RELAXED);  // race
        rendezvous(4);
    });
    std::thread relay([] {
        wait_until(&published, 1);
        RACY_OR_FIXED(published.store(2, std::memory_order_relaxed), published.fetch_add(1, std::memory_order_relaxed));
        relayed.store(1, std::memory_order_relaxed);
        rendezvous(4);
    });
    // Acquires only once the relayed value is there, never the release's own value.
    std::thread consumer([&consumed] {
        wait_until(&relayed, 1);
        if (published.load(std::memory_order_acquire) == 2) consumed = payload;  // race
        rendezvous(4);
    });
    writer.join();
    loader.join();
    relay.join();
    consumer.join();
    return loaded + plain + consumed;
}

int main() {
    const long loads = atomic_loads();
    std::printf("%ld %d %d %d\n", loads, acquire_fence(), release_fence(), seq_cst_fence());
    return 0;
}
