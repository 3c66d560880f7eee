// The detector's hot path in four access patterns, for one runtime per build: plain, the compiler's
// ThreadSanitizer, or tavo's front end. `hotpath PATTERN [THREADS]` runs one pattern and prints
//   PATTERN ns-per-access peak-KiB granules
// where ns per access is the process's CPU time over all threads' accesses (the machine may be
// shared, so wall time would measure the neighbours) and granules counts the 8-byte
// granules the pattern touched (the program's own data, so peak memory over it gives shadow bytes
// per granule against a plain build).
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#define BENCH_CLOCK CLOCK_PROCESS_CPUTIME_ID
#include "../timing.h"

#define REPEATS 20000000L
#define FRESH (2L << 20)                 // granules streamed once
#define SPAN (2L << 20) / sizeof(long)   // 2 MiB of words
#define PASSES 4

static volatile long word;
static volatile long* shared;
static long accesses;  // over all threads

// The single-task patterns run on a thread of their own too: a detector may skip checking while
// the program has only one thread.
static void* repeat_word(void* argument) {
    (void)argument;
    for (long index = 0; index < REPEATS; ++index) word = index;
    return NULL;
}

static void* stream_fresh(void* argument) {
    (void)argument;
    volatile long* data = malloc(FRESH * sizeof(long));
    for (long index = 0; index < FRESH; ++index) data[index] = index;
    return (void*)data;
}

static void* stream_own(void* argument) {
    (void)argument;
    volatile long* data = malloc(SPAN * sizeof(long));
    for (int pass = 0; pass < PASSES; ++pass)
        for (long index = 0; index < (long)SPAN; ++index) data[index] = index + pass;
    return (void*)data;
}

static void* read_shared(void* argument) {
    long sum = 0;
    for (int pass = 0; pass < PASSES; ++pass)
        for (long index = 0; index < (long)SPAN; ++index) sum += shared[index];
    *(long*)argument = sum;
    return NULL;
}

static void on_threads(int count, void* (*run)(void*), long per_thread) {
    pthread_t threads[64];
    long results[64];
    for (int index = 0; index < count; ++index) pthread_create(&threads[index], NULL, run, &results[index]);
    for (int index = 0; index < count; ++index) pthread_join(threads[index], NULL);
    accesses = count * per_thread;
}

int main(int count, char** arguments) {
    const char* pattern = count > 1 ? arguments[1] : "";
    const int threads = count > 2 ? atoi(arguments[2]) : 2;
    if (threads < 1 || threads > 64) return 2;
    long granules;
    double start;
    if (strcmp(pattern, "repeat") == 0) {
        start = now();
        on_threads(1, repeat_word, REPEATS);
        granules = 1;
    } else if (strcmp(pattern, "fresh") == 0) {
        start = now();
        on_threads(1, stream_fresh, FRESH);
        granules = FRESH;
    } else if (strcmp(pattern, "own") == 0) {
        start = now();
        on_threads(threads, stream_own, PASSES * (long)SPAN);
        granules = threads * (long)SPAN;
    } else if (strcmp(pattern, "shared") == 0) {
        // Zero-filled without an instrumented write, so each granule has exactly `threads` tasks.
        shared = calloc(SPAN, sizeof(long));
        start = now();
        on_threads(threads, read_shared, PASSES * (long)SPAN);
        granules = SPAN;
    } else {
        fprintf(stderr, "usage: %s repeat|fresh|own|shared [threads]\n", arguments[0]);
        return 2;
    }
    const double elapsed = now() - start;
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("%s %.2f %ld %ld\n", pattern, elapsed / (double)accesses, usage.ru_maxrss, granules);
    return 0;
}
