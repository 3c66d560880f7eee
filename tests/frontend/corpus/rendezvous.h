// Racy programs keep their threads alive until every one has made its accesses: tavo forgets a
// task once it ends, so a race with a thread that already finished goes unseen. Relaxed atomics
// order nothing, so waiting here hides no race.
#ifndef RENDEZVOUS_H
#define RENDEZVOUS_H
#ifdef __cplusplus
#include <atomic>
using std::memory_order_relaxed;
static std::atomic<int> rendezvous_arrived;
#else
#include <stdatomic.h>
static atomic_int rendezvous_arrived;
#endif

static inline void rendezvous(int parties) {
    atomic_fetch_add_explicit(&rendezvous_arrived, 1, memory_order_relaxed);
    while (atomic_load_explicit(&rendezvous_arrived, memory_order_relaxed) < parties) {
    }
}
#endif
