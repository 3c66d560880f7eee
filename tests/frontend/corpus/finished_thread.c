// tavo: racy
// tavo-expect: which has finished
// A thread writes a variable and returns; the main thread reads it later without joining it,
// having only waited for the thread to be gone in ways that order nothing.
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

static int result;
static atomic_int finished;  // relaxed: sequences the run without ordering anything

static void* compute(void* argument) {
    (void)argument;
    result = 42;  // race
    atomic_store_explicit(&finished, 1, memory_order_relaxed);
    return NULL;
}

int main(void) {
    pthread_t thread;
    pthread_create(&thread, NULL, compute, NULL);
    pthread_detach(thread);
    while (!atomic_load_explicit(&finished, memory_order_relaxed)) {
    }
    // The thread may still be on its way out; give it time to end.
    for (int round = 0; round < 100; ++round) sched_yield();
    printf("%d\n", result);  // race
    return 0;
}
