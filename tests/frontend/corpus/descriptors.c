// tavo: racy
// tavo-reports: 2
// tavo-fixed
// Descriptors order what they carry, nothing more. Two threads take turns on shared variables,
// handing them over through a pipe written through a duplicate of its write end, an eventfd and a
// socket pair: the receiver reads and changes what the sender wrote only after receiving. But a descriptor number closed by one thread and opened again by another orders
// nothing: the first thread writes to a file and closes it, the second opens the file (getting
// the same number) and reads what was written. And data changed after a byte was sent through a
// socket pair is not ordered before the receiver's use (fixed: neither is written).
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "rendezvous.h"

static char path[] = "/tmp/tavo_descriptor_reuseXXXXXX";
static int seen, shared, sent_late, sockets[2], ends[2], done, total, record;
static step_t closed;

static void* reuse(void* argument) {
    char byte;
    if (argument == NULL) {
        const int fd = open(path, O_WRONLY);
        ONLY_RACY(shared = 1);  // race
        if (write(fd, "x", 1) != 1) return NULL;
        close(fd);
        atomic_store_explicit(&closed, 1, memory_order_relaxed);
        if (send(sockets[0], "x", 1, 0) != 1) return NULL;
        ONLY_RACY(sent_late = 2);  // race
    } else {
        wait_until(&closed, 1);
        const int fd = open(path, O_RDONLY);
        if (read(fd, &byte, 1) == 1) seen = shared;  // race
        close(fd);
        if (recv(sockets[1], &byte, 1, 0) == 1) seen += sent_late;  // race
    }
    rendezvous(2);
    return NULL;
}

static void* produce(void* argument) {
    const int out = dup(ends[1]);
    char token;
    eventfd_t value;
    for (int round = 0; round < 40; ++round) {
        record = round;
        total += round;
        if (write(out, "r", 1) != 1 || eventfd_read(done, &value) != 0) return NULL;
        record += 1;
        if (send(sockets[0], "s", 1, 0) != 1 || recv(sockets[0], &token, 1, 0) != 1) return NULL;
    }
    close(out);
    return argument;
}

static void* consume(void* argument) {
    long sum = (long)argument;
    char token;
    for (int round = 0; round < 40; ++round) {
        if (read(ends[0], &token, 1) != 1) return NULL;
        sum += record + total;
        if (eventfd_write(done, 1) != 0 || recv(sockets[1], &token, 1, 0) != 1) return NULL;
        sum += record;
        record = -1;
        if (send(sockets[1], "t", 1, 0) != 1) return NULL;
    }
    return (void*)sum;
}

int main(void) {
    close(mkstemp(path));
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) return 1;
    run_threads(2, reuse);
    pthread_t threads[2];
    unlink(path);
    if (pipe(ends) != 0) return 1;
    done = eventfd(0, 0);
    void* sum;
    pthread_create(&threads[0], NULL, produce, NULL);
    pthread_create(&threads[1], NULL, consume, NULL);
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], &sum);
    printf("%d %ld\n", seen, (long)sum);
    return 0;
}
