// What the history of accesses costs: nested calls that each end in writes, on two threads, first
// touching memory already recorded (the common case), then fresh memory (every access makes a
// record, which keeps the stack id), then the same calls with a lock held (the id pairs the stack
// with the lock set at every call). Prints nanoseconds per outer call and the peak resident memory;
// run under tavo with TAVO_OPTIONS=history=1 and history=0, and under ThreadSanitizer. Under load,
// instruction counts say more than times: valgrind --tool=callgrind with a smaller count.
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include "../timing.h"

#define THREADS 2
static long CALLS = 2000000;  // or the second argument
#define FRESH (1 << 20)

static pthread_mutex_t locks[THREADS] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

__attribute__((noinline)) static void inner(long* data, long index) { data[index] += index; }
__attribute__((noinline)) static void middle(long* data, long index) { inner(data, index); inner(data, index + 1); }
__attribute__((noinline)) static void outer(long* data, long index) { middle(data, index); }

struct part {
    const char* name;
    void (*run)(long* data, int thread);
};

static void recorded(long* data, int thread) {
    (void)thread;
    for (long call = 0; call < CALLS; ++call) outer(data, call & 255);
}

static void fresh(long* data, int thread) {
    (void)thread;
    for (long call = 0; call < CALLS; ++call) outer(data, (call * 2) & (FRESH - 1));
}

static void locked(long* data, int thread) {
    for (long call = 0; call < CALLS; call += 100) {
        pthread_mutex_lock(&locks[thread]);
        for (long inside = 0; inside < 100; ++inside) outer(data, (call + inside) & 255);
        pthread_mutex_unlock(&locks[thread]);
    }
}

static const struct part parts[] = {{"calls, recorded memory", recorded}, {"calls, fresh memory", fresh},
                                    {"calls under a lock", locked}};
static const struct part* current;

static void* worker(void* argument) {
    long* data = calloc(FRESH + 2, sizeof(long));
    current->run(data, (int)(long)argument);
    free(data);
    return NULL;
}

int main(int count, char** arguments) {
    const char* label = count > 1 ? arguments[1] : "calls";
    if (count > 2) CALLS = atol(arguments[2]);
    for (size_t part = 0; part < sizeof parts / sizeof parts[0]; ++part) {
        current = &parts[part];
        pthread_t threads[THREADS];
        const double start = now();
        for (long index = 0; index < THREADS; ++index) pthread_create(&threads[index], NULL, worker, (void*)index);
        for (int index = 0; index < THREADS; ++index) pthread_join(threads[index], NULL);
        printf("%-10s %-24s %8.2f ns per call\n", label, current->name, (now() - start) / CALLS);
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("%-10s %-24s %8ld KiB\n", label, "peak resident memory", usage.ru_maxrss);
    return 0;
}
