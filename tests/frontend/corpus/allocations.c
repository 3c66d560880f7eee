// tavo: racy
// tavo-fixed
// tavo-expect: Free of 72 bytes
// tavo-expect: Previous free of 8 bytes
// Memory lives from allocation to release. One thread reads a heap block while the main thread
// frees it, nothing ordering the two: the free counts as a write of the whole block; and it reads
// another block after the main thread wrote and freed it, which the block keeps as the free
// (fixed: the frees wait for the reader). One thread maps a page, fills it and unmaps it; another
// maps a page at the same address, fills it and moves it with mremap, nothing ordering the two: a
// new mapping starts with no history. Last, the program writes into blocks it has freed, which
// breaks its allocator's lists of free blocks; the library, which keeps allocating while it
// watches the program, runs on to the end.
#define _GNU_SOURCE
#include <pthread.h>
#include <semaphore.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include "rendezvous.h"

enum { locks = 64 };
static atomic_int step;  // relaxed: sequences the run without ordering anything
static char* page;
static pthread_mutex_t mutexes[locks];
static sem_t go;
static int shared[locks];
static long* late;

static void* reader(void* argument) {
    const int* block = argument;
    const int value = block[3];  // race
    atomic_store_explicit(&step, 1, memory_order_relaxed);
    wait_until(&step, 2);
    return (void*)(value + late[0]);  // race
}

static char* fill_page(int step_before) {
    wait_until(&step, step_before);
    char* mapped = mmap(page, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    for (int index = 0; index < 64; ++index) mapped[index] = (char)(mapped[index] + 1);
    return mapped;
}

static void* first_mapper(void* argument) {
    munmap(fill_page(2), 4096);
    atomic_store_explicit(&step, 3, memory_order_relaxed);
    wait_until(&step, 4);  // alive while the other fills
    return argument;
}

static void* second_mapper(void* argument) {
    char* mapped = mremap(fill_page(3), 4096, 8192, MREMAP_MAYMOVE);
    const int good = mapped != MAP_FAILED && mapped[63] == 1;
    munmap(mapped, 8192);
    atomic_store_explicit(&step, 4, memory_order_relaxed);
    return good ? argument : NULL;
}

static void* lock_all(void* argument) {
    sem_wait(&go);
    // New sync objects and shadow memory for the library, after the damage.
    for (int index = 0; index < locks; ++index) {
        pthread_mutex_lock(&mutexes[index]);
        shared[index] += index;
        pthread_mutex_unlock(&mutexes[index]);
    }
    return argument;
}

int main(void) {
    int* block = calloc(18, sizeof(int));
    late = calloc(2, sizeof(long));
    pthread_t threads[2];
    pthread_create(&threads[0], NULL, reader, block);
    wait_until(&step, 1);
    ONLY_FIXED(atomic_store_explicit(&step, 2, memory_order_relaxed));
    ONLY_FIXED(pthread_join(threads[0], NULL));
    free(block);  // race
    late[0] = 1;  // the free that follows, not this write, is what the report names
    free(late);  // race
    atomic_store_explicit(&step, 2, memory_order_relaxed);
    ONLY_RACY(pthread_join(threads[0], NULL));

    page = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(page, 4096);
    void* good = NULL;
    pthread_create(&threads[0], NULL, first_mapper, NULL);
    pthread_create(&threads[1], NULL, second_mapper, page);
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], &good);

    for (int index = 0; index < locks; ++index) pthread_mutex_init(&mutexes[index], NULL);
    sem_init(&go, 0, 0);
    if (pthread_create(&threads[0], NULL, lock_all, NULL) != 0) return 2;
    // One block of each small size class, freed, then overwritten: the program itself allocates
    // nothing more.
    for (size_t size = 24; size <= 1032; size += 16) {
        char* volatile freed = malloc(size);
        free(freed);
        memset(freed, 0x5a, size);
    }
    sem_post(&go);
    pthread_join(threads[0], NULL);
    return good != NULL && shared[locks - 1] == locks - 1 ? 0 : 1;
}
