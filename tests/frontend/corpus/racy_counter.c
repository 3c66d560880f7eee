// tavo: racy
// tavo-fixed
// Threads increment a counter without any synchronisation; fixed, under a mutex.
#include <pthread.h>
#include <stdio.h>

#include "rendezvous.h"

static int counter;
#ifdef FIXED
enum { rounds = 1000 };
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
#else
enum { rounds = 1 };
#endif

static void* work(void* argument) {
    for (int round = 0; round < rounds; ++round) {
        ONLY_FIXED(pthread_mutex_lock(&lock));
        counter++;  // race
        ONLY_FIXED(pthread_mutex_unlock(&lock));
    }
    rendezvous(3);
    return argument;
}

int main(void) {
    run_threads(3, work);
    printf("%d\n", counter);
    return counter == 3 * rounds || rounds == 1 ? 0 : 1;
}
