// tavo: clean
// tavo-options: suppress=bump_statistics
// A known race on a statistics counter, suppressed by function name: the run reports nothing.
#include <pthread.h>
#include <stdio.h>

#include "rendezvous.h"

static long statistics;

__attribute__((noinline)) static void bump_statistics(void) { statistics++; }

static void* work(void* argument) {
    (void)argument;
    bump_statistics();
    rendezvous(2);
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    for (int index = 0; index < 2; ++index) pthread_create(&threads[index], NULL, work, NULL);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    printf("%ld\n", statistics);
    return 0;
}
