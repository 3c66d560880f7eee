// tavo: clean
// Readers look a table up under the read lock while a writer updates it under the write lock.
// The writer starts once both readers have read: only their unlocks order those reads before its
// writes.
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

static pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
static int table[16];
static atomic_int first_reads;  // relaxed: orders nothing

static void* reader(void* argument) {
    (void)argument;
    long sum = 0;
    for (int round = 0; round < 200; ++round) {
        pthread_rwlock_rdlock(&lock);
        sum += table[round & 15];
        pthread_rwlock_unlock(&lock);
        if (round == 0) atomic_fetch_add_explicit(&first_reads, 1, memory_order_relaxed);
    }
    return (void*)sum;
}

static void* writer(void* argument) {
    (void)argument;
    while (atomic_load_explicit(&first_reads, memory_order_relaxed) < 2) {
    }
    for (int round = 0; round < 200; ++round) {
        pthread_rwlock_wrlock(&lock);
        table[round & 15] += round;
        pthread_rwlock_unlock(&lock);
    }
    return NULL;
}

int main(void) {
    pthread_t threads[3];
    pthread_create(&threads[0], NULL, writer, NULL);
    pthread_create(&threads[1], NULL, reader, NULL);
    pthread_create(&threads[2], NULL, reader, NULL);
    for (int index = 0; index < 3; ++index) pthread_join(threads[index], NULL);
    printf("%d\n", table[0]);
    return 0;
}
