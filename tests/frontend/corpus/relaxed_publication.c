// tavo: racy
// The publication of publication.c with relaxed atomics: the flag orders nothing, so the payload
// is shared without synchronisation.
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

#include "rendezvous.h"

static int payload;
static atomic_int published;

static void* producer(void* argument) {
    (void)argument;
    payload = 42;  // race
    atomic_store_explicit(&published, 1, memory_order_relaxed);
    rendezvous(2);
    return NULL;
}

static void* consumer(void* argument) {
    (void)argument;
    while (atomic_load_explicit(&published, memory_order_relaxed) == 0) {
    }
    int value = payload;  // race
    rendezvous(2);
    return (void*)(long)value;
}

int main(void) {
    pthread_t threads[2];
    void* value = NULL;
    pthread_create(&threads[1], NULL, consumer, NULL);
    pthread_create(&threads[0], NULL, producer, NULL);
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], &value);
    printf("%ld\n", (long)value);
    return 0;
}
