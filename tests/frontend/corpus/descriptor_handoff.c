// tavo: clean
// Two threads take turns on shared buffers, handing them over through descriptors: a pipe
// written through a duplicate of its write end, an eventfd, and a socket pair. The receiver
// reads, copies, compares and changes what the sender wrote only after receiving.
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

static int ends[2], done, sockets[2];
static char record[32];
static int total;

static void* produce(void* argument) {
    (void)argument;
    const int out = dup(ends[1]);
    for (int round = 0; round < 40; ++round) {
        snprintf(record, sizeof record, "record %d", round);
        total += round;
        eventfd_t value;
        char token;
        if (write(out, "r", 1) != 1 || eventfd_read(done, &value) != 0) return NULL;
        strcat(record, round % 2 ? " odd" : " even");
        if (send(sockets[0], "s", 1, 0) != 1 || recv(sockets[0], &token, 1, 0) != 1) return NULL;
    }
    close(out);
    return NULL;
}

static void* consume(void* argument) {
    (void)argument;
    long sum = 0;
    char token, copy[32];
    for (int round = 0; round < 40; ++round) {
        if (read(ends[0], &token, 1) != 1) return NULL;
        sum += (long)strlen(record) + total;
        if (strncmp(record, "record", 6) != 0 || eventfd_write(done, 1) != 0) return NULL;
        if (recv(sockets[1], &token, 1, 0) != 1) return NULL;
        strcpy(copy, record);
        sum += memcmp(copy, record, 6) == 0;
        strncpy(record, "pong", sizeof record);
        if (send(sockets[1], "t", 1, 0) != 1) return NULL;
    }
    return (void*)sum;
}

int main(void) {
    if (pipe(ends) != 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) return 1;
    done = eventfd(0, 0);
    pthread_t threads[2];
    pthread_create(&threads[0], NULL, produce, NULL);
    pthread_create(&threads[1], NULL, consume, NULL);
    void* sum;
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], &sum);
    printf("%ld\n", (long)sum);
    return 0;
}
