// tavo: racy
// tavo-reports: 4
// Sync objects are memory too: one thread initialises a mutex that another has just locked and
// unlocked, destroys a condition variable and a semaphore the other signalled and posted, and
// initialises again a barrier the other waited on, nothing ordering the two threads.
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>

#include "rendezvous.h"

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
static sem_t semaphore;
static pthread_barrier_t barrier;
static atomic_int used;

static void* user(void* argument) {
    (void)argument;
    pthread_mutex_lock(&mutex);    // race
    pthread_mutex_unlock(&mutex);  // race
    pthread_cond_signal(&condition);  // race
    sem_post(&semaphore);             // race
    pthread_barrier_wait(&barrier);   // race
    atomic_store_explicit(&used, 1, memory_order_relaxed);
    rendezvous(2);
    return NULL;
}

static void* maker(void* argument) {
    (void)argument;
    while (!atomic_load_explicit(&used, memory_order_relaxed)) {
    }
    pthread_mutex_init(&mutex, NULL);          // race
    pthread_cond_destroy(&condition);          // race
    sem_destroy(&semaphore);                   // race
    pthread_barrier_init(&barrier, NULL, 1);   // race
    rendezvous(2);
    return NULL;
}

int main(void) {
    sem_init(&semaphore, 0, 0);
    pthread_barrier_init(&barrier, NULL, 1);
    pthread_t threads[2];
    pthread_create(&threads[0], NULL, user, NULL);
    pthread_create(&threads[1], NULL, maker, NULL);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    pthread_barrier_destroy(&barrier);
    puts("done");
    return 0;
}
