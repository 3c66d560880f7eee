// tavo: clean
// Work done by threads is read by the creator after the joins; a second round of threads reuses
// the same data, ordered by the creation.
#include <pthread.h>
#include <stdio.h>

static long results[4];

static void* square(void* argument) {
    long index = (long)argument;
    results[index] = results[index] * results[index] + index;
    return NULL;
}

int main(void) {
    pthread_t threads[4];
    for (long round = 0; round < 2; ++round) {
        for (long index = 0; index < 4; ++index) {
            results[index] += 1;
            pthread_create(&threads[index], NULL, square, (void*)index);
        }
        for (long index = 0; index < 4; ++index) pthread_join(threads[index], NULL);
    }
    long sum = 0;
    for (long index = 0; index < 4; ++index) sum += results[index];
    printf("%ld\n", sum);
    return 0;
}
