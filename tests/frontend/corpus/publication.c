// tavo: racy
// tavo-fixed
// A payload published through a relaxed store and taken through a relaxed load: the flag orders
// nothing, so the payload is shared without synchronisation. Fixed, a release store and an
// acquire load.
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

#include "rendezvous.h"

#ifdef FIXED
#define RELEASE memory_order_release
#define ACQUIRE memory_order_acquire
#else
#define RELEASE memory_order_relaxed
#define ACQUIRE memory_order_relaxed
#endif

static int payload[4];
static atomic_int published;

static void* producer(void* argument) {
    (void)argument;
    for (int index = 0; index < 4; ++index) payload[index] = index * 10;  // race
    atomic_store_explicit(&published, 1, RELEASE);
    rendezvous(2);
    return NULL;
}

static void* consumer(void* argument) {
    (void)argument;
    while (atomic_load_explicit(&published, ACQUIRE) == 0) {
    }
    int sum = 0;
    for (int index = 0; index < 4; ++index) sum += payload[index];  // race
    rendezvous(2);
    return (void*)(long)sum;
}

int main(void) {
    pthread_t threads[2];
    void* sum = NULL;
    pthread_create(&threads[1], NULL, consumer, NULL);
    pthread_create(&threads[0], NULL, producer, NULL);
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], &sum);
    printf("%ld\n", (long)sum);
    return (long)sum == 60 ? 0 : 1;
}
