// What the corpus programs share. Racy programs keep their threads alive until every one has made
// its accesses, so that every run meets the same accesses whichever thread is scheduled first.
// Relaxed atomics order nothing, so waiting on them here hides no race.
#ifndef RENDEZVOUS_H
#define RENDEZVOUS_H
#ifdef __cplusplus
#include <atomic>
using std::memory_order_relaxed;
typedef std::atomic<int> step_t;
#else
#include <stdatomic.h>
typedef atomic_int step_t;
#endif
__attribute__((unused)) static step_t rendezvous_arrived;

// The two builds of a racy program: as written, and with FIXED defined, its racy lines mended.
#ifdef FIXED
#define ONLY_RACY(...)
#define ONLY_FIXED(...) __VA_ARGS__
#define RACY_OR_FIXED(racy, fixed) fixed
#else
#define ONLY_RACY(...) __VA_ARGS__
#define ONLY_FIXED(...)
#define RACY_OR_FIXED(racy, fixed) racy
#endif

// Spins until the step reaches the value.
static inline void wait_until(step_t* step, int value) {
    while (atomic_load_explicit(step, memory_order_relaxed) < value) {
    }
}

static inline void rendezvous(int parties) {
    atomic_fetch_add_explicit(&rendezvous_arrived, 1, memory_order_relaxed);
    wait_until(&rendezvous_arrived, parties);
}

#if !defined(__cplusplus) && !defined(_WIN32)
#include <pthread.h>
// Runs count threads of the routine, each given its index, and joins them.
static inline void run_threads(int count, void* (*routine)(void*)) {
    pthread_t threads[8];
    for (long index = 0; index < count; ++index) pthread_create(&threads[index], NULL, routine, (void*)index);
    for (int index = 0; index < count; ++index) pthread_join(threads[index], NULL);
}
#endif
#endif
