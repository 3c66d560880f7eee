// tavo: clean
// The program writes into blocks it has freed, which breaks its allocator's lists of free blocks;
// the library, which keeps allocating while it watches the program, runs on to the end.
#include <pthread.h>
#include <semaphore.h>
#include <stdlib.h>
#include <string.h>

enum { locks = 64 };
static pthread_mutex_t mutexes[locks];
static sem_t go;
static int shared[locks];

static void* work(void* argument) {
    (void)argument;
    sem_wait(&go);
    // New sync objects and shadow memory for the library, after the damage.
    for (int index = 0; index < locks; ++index) {
        pthread_mutex_lock(&mutexes[index]);
        shared[index] += index;
        pthread_mutex_unlock(&mutexes[index]);
    }
    return NULL;
}

int main(void) {
    for (int index = 0; index < locks; ++index) pthread_mutex_init(&mutexes[index], NULL);
    sem_init(&go, 0, 0);
    pthread_t thread;
    if (pthread_create(&thread, NULL, work, NULL) != 0) return 2;
    // One block of each small size class, freed, then overwritten: the program itself allocates
    // nothing more.
    for (size_t size = 24; size <= 1032; size += 16) {
        char* volatile block = malloc(size);
        free(block);
        memset(block, 0x5a, size);
    }
    sem_post(&go);
    pthread_join(thread, NULL);
    return shared[locks - 1] == locks - 1 ? 0 : 1;
}
