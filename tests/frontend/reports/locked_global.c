// tavo-options: exitcode=0
// A balance updated under a lock by one thread and without it by another. The report names both
// stacks, the global, the mutex the first thread held and where each thread was created.
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

static long balance;
static pthread_mutex_t guard = PTHREAD_MUTEX_INITIALIZER;
static atomic_int step;  // relaxed: orders nothing, only makes the interleaving fixed

static void wait_for(int value) {
    while (atomic_load_explicit(&step, memory_order_relaxed) != value) {
    }
}

__attribute__((noinline)) static void deposit(long amount) { balance += amount; }

__attribute__((noinline)) static void locked_deposit(long amount) {
    pthread_mutex_lock(&guard);
    deposit(amount);
    atomic_store_explicit(&step, 1, memory_order_relaxed);
    wait_for(2);
    pthread_mutex_unlock(&guard);
}

static void* teller(void* argument) {
    (void)argument;
    locked_deposit(10);
    return NULL;
}

static void* auditor(void* argument) {
    (void)argument;
    wait_for(1);
    deposit(-1);
    atomic_store_explicit(&step, 2, memory_order_relaxed);
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    pthread_create(&threads[0], NULL, teller, NULL);
    pthread_create(&threads[1], NULL, auditor, NULL);
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], NULL);
    printf("%ld\n", balance);
    return 0;
}
