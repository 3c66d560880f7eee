// The same instrumented loop for either runtime: private data, shared read-only data, updates
// under a lock, and atomic operations on a shared counter, on two threads. Prints nanoseconds per instrumented access for each part and the
// peak resident memory. A second argument runs only the parts whose name starts with it.
#define _GNU_SOURCE
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include "../timing.h"

#define THREADS 2
#define ROUNDS 2000000
#define TABLE 4096

static int table[TABLE];
static long shared_total;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static atomic_long counter;

struct part {
    const char* name;
    void (*run)(long* private_data);
    long accesses_per_thread;
};

static void private_data(long* data) {
    for (long round = 0; round < ROUNDS; ++round) data[round & 255] += round;  // read and write
}

static void shared_read_only(long* data) {
    long sum = 0;
    for (long round = 0; round < ROUNDS; ++round) sum += table[(round * 7) & (TABLE - 1)];
    data[0] = sum;
}

static void locked_updates(long* data) {
    for (long round = 0; round < ROUNDS / 20; ++round) {
        pthread_mutex_lock(&lock);
        shared_total += data[round & 255];
        pthread_mutex_unlock(&lock);
    }
}

// Loads, relaxed increments and release stores, as reference counts and flags use them.
static void atomic_operations(long* data) {
    long seen = 0;
    for (long round = 0; round < ROUNDS / 4; ++round) {
        seen += atomic_load_explicit(&counter, memory_order_acquire);
        atomic_fetch_add_explicit(&counter, 1, memory_order_relaxed);
        atomic_fetch_add_explicit(&counter, 1, memory_order_acq_rel);
        if ((round & 63) == 0) atomic_store_explicit(&counter, seen & 1, memory_order_release);
    }
    data[0] = seen;
}

static const struct part parts[] = {
    {"private data", private_data, 2L * ROUNDS},
    {"shared read-only data", shared_read_only, ROUNDS},
    {"lock-protected updates", locked_updates, 3L * (ROUNDS / 20)},
    {"atomic operations", atomic_operations, 3L * (ROUNDS / 4) + ROUNDS / 4 / 64},
};
static const struct part* current;

static void* worker(void* argument) {
    (void)argument;
    long* data = calloc(256, sizeof(long));
    current->run(data);
    free(data);
    return NULL;
}

int main(int count, char** arguments) {
    const char* label = count > 1 ? arguments[1] : "loop";
    for (int index = 0; index < TABLE; ++index) table[index] = index;
    for (size_t part = 0; part < sizeof parts / sizeof parts[0]; ++part) {
        current = &parts[part];
        if (count > 2 && strncmp(current->name, arguments[2], strlen(arguments[2])) != 0) continue;
        pthread_t threads[THREADS];
        const double start = now();
        for (int index = 0; index < THREADS; ++index) pthread_create(&threads[index], NULL, worker, NULL);
        for (int index = 0; index < THREADS; ++index) pthread_join(threads[index], NULL);
        const double elapsed = now() - start;
        printf("%-8s %-24s %8.2f ns per access\n", label, current->name,
               elapsed / (double)current->accesses_per_thread);
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("%-8s %-24s %8ld KiB\n", label, "peak resident memory", usage.ru_maxrss);
    return shared_total < 0;
}
