// tavo: racy
// A descriptor number closed by one thread and opened again by another carries no ordering:
// the first thread writes to a file and closes it, the second opens the file (getting the same
// number), reads what was written, and uses data the first changed without synchronisation.
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "rendezvous.h"

static char path[] = "/tmp/tavo_descriptor_reuseXXXXXX";
static int shared;
static atomic_int closed;

static void* first(void* argument) {
    (void)argument;
    const int fd = open(path, O_WRONLY);
    shared = 1;  // race
    if (write(fd, "x", 1) != 1) return NULL;
    close(fd);
    atomic_store_explicit(&closed, 1, memory_order_relaxed);
    rendezvous(2);
    return NULL;
}

static void* second(void* argument) {
    while (!atomic_load_explicit(&closed, memory_order_relaxed)) {
    }
    const int fd = open(path, O_RDONLY);
    char byte;
    if (read(fd, &byte, 1) == 1) *(int*)argument = shared;  // race
    close(fd);
    rendezvous(2);
    return NULL;
}

int main(void) {
    close(mkstemp(path));
    pthread_t threads[2];
    int seen = 0;
    pthread_create(&threads[0], NULL, first, NULL);
    pthread_create(&threads[1], NULL, second, &seen);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    unlink(path);
    printf("%d\n", seen);
    return 0;
}
