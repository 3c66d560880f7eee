// tavo: racy
// tavo-reports: 2
// Descriptors order what they carry, nothing more. A descriptor number closed by one thread and
// opened again by another orders nothing: the first thread writes to a file and closes it, the
// second opens the file (getting the same number) and reads what was written. And data changed
// after a byte was sent through a socket pair is not ordered before the receiver's use.
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "rendezvous.h"

static char path[] = "/tmp/tavo_descriptor_reuseXXXXXX";
static int shared, sent_late, sockets[2];
static atomic_int closed;

static void* first(void* argument) {
    (void)argument;
    const int fd = open(path, O_WRONLY);
    shared = 1;  // race
    if (write(fd, "x", 1) != 1) return NULL;
    close(fd);
    atomic_store_explicit(&closed, 1, memory_order_relaxed);
    if (send(sockets[0], "x", 1, 0) != 1) return NULL;
    sent_late = 2;  // race
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
    if (recv(sockets[1], &byte, 1, 0) == 1) *(int*)argument += sent_late;  // race
    rendezvous(2);
    return NULL;
}

int main(void) {
    close(mkstemp(path));
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) return 1;
    pthread_t threads[2];
    int seen = 0;
    pthread_create(&threads[0], NULL, first, NULL);
    pthread_create(&threads[1], NULL, second, &seen);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    unlink(path);
    printf("%d\n", seen);
    return 0;
}
