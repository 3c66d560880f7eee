// tavo: clean
// Three ways threads order their work. A detached thread fills a buffer and posts a semaphore;
// the main thread waits on it before reading, and never joins. Threads write their own slots,
// then after a barrier read their neighbour's, then after another barrier write their own again.
// A counter under a spin lock built on C11 atomics: exchange with acquire, store with release,
// and a compare-and-swap that must return exact values for the loop to end.
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdio.h>

#define THREADS 3
static sem_t done;
static pthread_barrier_t barrier;
static int buffer[8], slots[THREADS], seen[THREADS], counter;
static atomic_int lock;
static atomic_long operations;

static void* fill(void* argument) {
    for (int index = 0; index < 8; ++index) buffer[index] = index;
    sem_post(&done);
    return argument;
}

static void* work(void* argument) {
    const long index = (long)argument;
    for (int round = 0; round < 3; ++round) {
        slots[index] = (int)index + round;
        pthread_barrier_wait(&barrier);
        seen[index] += slots[(index + 1) % THREADS];
        pthread_barrier_wait(&barrier);
    }
    for (int round = 0; round < 500; ++round) {
        while (atomic_exchange_explicit(&lock, 1, memory_order_acquire) != 0) {
        }
        counter++;
        atomic_store_explicit(&lock, 0, memory_order_release);
        long operations_seen = atomic_load_explicit(&operations, memory_order_relaxed);
        while (!atomic_compare_exchange_weak(&operations, &operations_seen, operations_seen + 1)) {
        }
    }
    return NULL;
}

int main(void) {
    sem_init(&done, 0, 0);
    pthread_t thread;
    pthread_create(&thread, NULL, fill, NULL);
    pthread_detach(thread);
    sem_wait(&done);
    int sum = 0;
    for (int index = 0; index < 8; ++index) sum += buffer[index];
    buffer[0] = sum;
    pthread_barrier_init(&barrier, NULL, THREADS);
    pthread_t threads[THREADS];
    for (long index = 0; index < THREADS; ++index) pthread_create(&threads[index], NULL, work, (void*)index);
    for (long index = 0; index < THREADS; ++index) pthread_join(threads[index], NULL);
    pthread_barrier_destroy(&barrier);
    printf("%d %d %d %d %d %ld\n", sum, seen[0], seen[1], seen[2], counter, atomic_load(&operations));
    return sum == 28 && counter == 500 * THREADS && atomic_load(&operations) == 500 * THREADS ? 0 : 1;
}
