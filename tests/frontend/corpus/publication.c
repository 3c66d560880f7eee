// tavo: clean
// A payload published through a release store and taken through an acquire load.
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

static int payload[4];
static atomic_int published;

static void* producer(void* argument) {
    (void)argument;
    for (int index = 0; index < 4; ++index) payload[index] = index * 10;
    atomic_store_explicit(&published, 1, memory_order_release);
    return NULL;
}

static void* consumer(void* argument) {
    (void)argument;
    while (atomic_load_explicit(&published, memory_order_acquire) == 0) {
    }
    int sum = 0;
    for (int index = 0; index < 4; ++index) sum += payload[index];
    return (void*)(long)sum;
}

int main(void) {
    pthread_t threads[2];
    void* sum = NULL;
    pthread_create(&threads[1], NULL, consumer, NULL);
    pthread_create(&threads[0], NULL, producer, NULL);
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], &sum);
    printf("%ld\n", (long)sum);
    return (long)sum == 60 ? 0 : 1;
}
