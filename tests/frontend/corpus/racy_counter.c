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
    (void)argument;
    for (int round = 0; round < rounds; ++round) {
#ifdef FIXED
        pthread_mutex_lock(&lock);
#endif
        counter++;  // race
#ifdef FIXED
        pthread_mutex_unlock(&lock);
#endif
    }
    rendezvous(3);
    return NULL;
}

int main(void) {
    pthread_t threads[3];
    for (int index = 0; index < 3; ++index) pthread_create(&threads[index], NULL, work, NULL);
    for (int index = 0; index < 3; ++index) pthread_join(threads[index], NULL);
    printf("%d\n", counter);
    return counter == 3 * rounds || rounds == 1 ? 0 : 1;
}
