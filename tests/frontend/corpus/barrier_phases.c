// tavo: clean
// Each thread writes its own slot, then after a barrier reads its neighbour's, then after another
// barrier writes its own again.
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>

#define THREADS 3
static pthread_barrier_t barrier;
static int slots[THREADS];
static int seen[THREADS];

static void* phases(void* argument) {
    long index = (long)argument;
    for (int round = 0; round < 3; ++round) {
        slots[index] = (int)index + round;
        pthread_barrier_wait(&barrier);
        seen[index] += slots[(index + 1) % THREADS];
        pthread_barrier_wait(&barrier);
    }
    return NULL;
}

int main(void) {
    pthread_barrier_init(&barrier, NULL, THREADS);
    pthread_t threads[THREADS];
    for (long index = 0; index < THREADS; ++index) pthread_create(&threads[index], NULL, phases, (void*)index);
    for (long index = 0; index < THREADS; ++index) pthread_join(threads[index], NULL);
    printf("%d %d %d\n", seen[0], seen[1], seen[2]);
    pthread_barrier_destroy(&barrier);
    return 0;
}
