// tavo: racy
// Read-locked sections do not order each other: a reader that writes under the read lock races
// with another reader's read under its own read lock. The writer before them is ordered with both.
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>

#include "rendezvous.h"

static pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
static int table[4];

static void* bad_reader(void* argument) {
    (void)argument;
    rendezvous(2);
    pthread_rwlock_rdlock(&lock);
    table[1] = 7;  // race
    pthread_rwlock_unlock(&lock);
    rendezvous(4);
    return NULL;
}

static void* reader(void* argument) {
    rendezvous(2);
    pthread_rwlock_rdlock(&lock);
    *(int*)argument = table[1];  // race
    pthread_rwlock_unlock(&lock);
    rendezvous(4);
    return NULL;
}

int main(void) {
    pthread_rwlock_wrlock(&lock);
    table[1] = 1;
    pthread_rwlock_unlock(&lock);
    pthread_t threads[2];
    int seen = 0;
    pthread_create(&threads[0], NULL, bad_reader, NULL);
    pthread_create(&threads[1], NULL, reader, &seen);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    printf("%d\n", seen);
    return 0;
}
