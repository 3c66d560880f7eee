// tavo: racy
// tavo-expect: Free of 72 bytes
// One thread reads a heap block while the main thread frees it, nothing ordering the two: the
// free counts as a write of the whole block.
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>

static atomic_int step;  // relaxed: sequences the run without ordering anything

static void wait_for(int value) {
    while (atomic_load_explicit(&step, memory_order_relaxed) < value) {
    }
}

static void* reader(void* argument) {
    const int* block = argument;
    const int value = block[3];  // race
    atomic_store_explicit(&step, 1, memory_order_relaxed);
    wait_for(2);
    return (void*)(long)value;
}

int main(void) {
    int* block = calloc(18, sizeof(int));
    pthread_t thread;
    pthread_create(&thread, NULL, reader, block);
    wait_for(1);
    free(block);  // race
    atomic_store_explicit(&step, 2, memory_order_relaxed);
    pthread_join(thread, NULL);
    return 0;
}
