// tavo: racy
// Two threads increment a counter without any synchronisation.
#include <pthread.h>
#include <stdio.h>

#include "rendezvous.h"

static int counter;

static void* work(void* argument) {
    (void)argument;
    counter++;  // race
    rendezvous(2);
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    for (int index = 0; index < 2; ++index) pthread_create(&threads[index], NULL, work, NULL);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    printf("%d\n", counter);
    return 0;
}
