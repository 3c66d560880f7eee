// tavo: racy
// tavo-reports: 2
// An atomic load races with a plain write nothing orders it with; and a release sequence ends at
// another thread's store, so a thread that reads that store's value is not ordered after the
// data published by the release before it.
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

#include "rendezvous.h"

static long value;
static int payload;
static atomic_int flag, relayed;

static void* writer(void* argument) {
    (void)argument;
    value = 5;  // race
    payload = 42;  // race
    atomic_store_explicit(&flag, 1, memory_order_release);
    rendezvous(4);
    return NULL;
}

static void* loader(void* argument) {
    *(long*)argument = __atomic_load_n(&value, __ATOMIC_RELAXED);  // race
    rendezvous(4);
    return NULL;
}

static void* overwriter(void* argument) {
    (void)argument;
    while (atomic_load_explicit(&flag, memory_order_relaxed) != 1) {
    }
    atomic_store_explicit(&flag, 2, memory_order_relaxed);
    atomic_store_explicit(&relayed, 1, memory_order_relaxed);
    rendezvous(4);
    return NULL;
}

// Reads the flag once it holds the relayed value, so as never to read the release's own value.
static void* consumer(void* argument) {
    while (!atomic_load_explicit(&relayed, memory_order_relaxed)) {
    }
    if (atomic_load_explicit(&flag, memory_order_acquire) == 2) *(int*)argument = payload;  // race
    rendezvous(4);
    return NULL;
}

int main(void) {
    pthread_t threads[4];
    long loaded = 0;
    int consumed = 0;
    pthread_create(&threads[0], NULL, writer, NULL);
    pthread_create(&threads[1], NULL, loader, &loaded);
    pthread_create(&threads[2], NULL, overwriter, NULL);
    pthread_create(&threads[3], NULL, consumer, &consumed);
    for (int index = 0; index < 4; ++index) pthread_join(threads[index], NULL);
    printf("%ld %d\n", loaded, consumed);
    return 0;
}
