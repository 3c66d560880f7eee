// tavo: clean
// A counter under a spin lock built on C11 atomics: exchange with acquire, store with release,
// and a compare-and-swap that must return exact values for the loop to end.
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

static int counter;
static atomic_int lock;
static atomic_long operations;

static void acquire(void) {
    while (atomic_exchange_explicit(&lock, 1, memory_order_acquire) != 0) {
    }
}

static void release(void) { atomic_store_explicit(&lock, 0, memory_order_release); }

static void* work(void* argument) {
    (void)argument;
    for (int round = 0; round < 500; ++round) {
        acquire();
        counter++;
        release();
        long seen = atomic_load_explicit(&operations, memory_order_relaxed);
        while (!atomic_compare_exchange_weak(&operations, &seen, seen + 1)) {
        }
    }
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    for (int index = 0; index < 2; ++index) pthread_create(&threads[index], NULL, work, NULL);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    printf("%d %ld\n", counter, atomic_load(&operations));
    return counter == 1000 && atomic_load(&operations) == 1000 ? 0 : 1;
}
