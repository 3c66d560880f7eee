// tavo: racy
// One thread copies a message into a shared buffer with memcpy while another reads the buffer.
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "rendezvous.h"

static char shared[64];
static char source[64] = "a message of some length";

static void* writer(void* argument) {
    (void)argument;
    memcpy(shared, source, sizeof shared);  // race
    rendezvous(2);
    return NULL;
}

static void* reader(void* argument) {
    (void)argument;
    while (atomic_load_explicit(&rendezvous_arrived, memory_order_relaxed) == 0) {
    }
    long sum = 0;
    for (size_t index = 0; index < sizeof shared; ++index) sum += shared[index];  // race
    rendezvous(2);
    return (void*)sum;
}

int main(void) {
    pthread_t threads[2];
    pthread_create(&threads[0], NULL, writer, NULL);
    pthread_create(&threads[1], NULL, reader, NULL);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    printf("%s\n", shared);
    return 0;
}
