// tavo: clean
// Readers look a table up under the read lock while a writer updates it under the write lock.
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>

static pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
static int table[16];

static void* reader(void* argument) {
    (void)argument;
    long sum = 0;
    for (int round = 0; round < 200; ++round) {
        pthread_rwlock_rdlock(&lock);
        sum += table[round & 15];
        pthread_rwlock_unlock(&lock);
    }
    return (void*)sum;
}

static void* writer(void* argument) {
    (void)argument;
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
