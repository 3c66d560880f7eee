// tavo: clean
// A producer hands records to a consumer through a pipe (written through a duplicate of the
// write end), then signals an eventfd; the consumer uses the shared buffers only after reading
// what was written, so the descriptors order every access.
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

static int ends[2];
static int done;
static char record[32];
static int total;

static void* produce(void* argument) {
    (void)argument;
    const int out = dup(ends[1]);
    for (int round = 0; round < 50; ++round) {
        snprintf(record, sizeof record, "record %d", round);
        total += round;
        char token = 'r';
        if (write(out, &token, 1) != 1) return NULL;
        eventfd_t value;
        if (eventfd_read(done, &value) != 0) return NULL;
    }
    close(out);
    return NULL;
}

static void* consume(void* argument) {
    (void)argument;
    long sum = 0;
    for (int round = 0; round < 50; ++round) {
        char token;
        if (read(ends[0], &token, 1) != 1) return NULL;
        sum += (long)strlen(record) + total;
        if (strncmp(record, "record", 6) != 0) return NULL;
        record[0] = 'R';
        if (eventfd_write(done, 1) != 0) return NULL;
    }
    return (void*)sum;
}

int main(void) {
    if (pipe(ends) != 0) return 1;
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
