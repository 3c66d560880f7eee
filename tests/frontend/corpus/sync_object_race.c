// tavo: racy
// Sync objects are memory too: one thread initialises a mutex that another thread has just
// locked and unlocked, and destroys a condition variable another thread signalled, with nothing
// ordering the two threads (the flag is relaxed).
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

#include "rendezvous.h"

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
static atomic_int used;
static int counter;

static void* user(void* argument) {
    (void)argument;
    pthread_mutex_lock(&mutex);    // race
    ++counter;
    pthread_mutex_unlock(&mutex);  // race
    pthread_cond_signal(&condition);  // race
    atomic_store_explicit(&used, 1, memory_order_relaxed);
    rendezvous(2);
    return NULL;
}

static void* maker(void* argument) {
    (void)argument;
    while (!atomic_load_explicit(&used, memory_order_relaxed)) {
    }
    pthread_mutex_init(&mutex, NULL);    // race
    pthread_cond_destroy(&condition);    // race
    rendezvous(2);
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    pthread_create(&threads[0], NULL, user, NULL);
    pthread_create(&threads[1], NULL, maker, NULL);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    printf("%d\n", counter);
    return 0;
}
