// tavo: racy
// tavo-fixed
// Threads write a table with nothing ordering them, take their mutexes and update an atomic, and a fast
// timer's handler writes the table too: the signal mostly interrupts them inside the detector,
// often while it reports, and every run must still end, with exact totals. Fixed, the handler and
// the thread it interrupted write only that thread's slot: a handler's accesses are its thread's.
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <sys/time.h>

enum { workers = 3, rounds = 100000, slots = 256 };
static long table[workers * slots];
static _Thread_local int self = -1;
static long guarded[workers];
#ifndef FIXED
static long ticks;
#endif
static atomic_long total, handled;
static pthread_mutex_t locks[workers] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

static void tick(int number) {
    (void)number;
#ifdef FIXED
    if (self >= 0) table[self * slots]++;
#else
    table[ticks++ % (workers * slots)]++;  // race
#endif
    atomic_fetch_add_explicit(&handled, 1, memory_order_relaxed);
}

static void* work(void* argument) {
    self = (int)(long)argument;
    for (long round = 0; round < rounds; ++round) {
#ifdef FIXED
        table[self * slots] += round;
#else
        table[round % (workers * slots)] += round;  // race
#endif
        pthread_mutex_lock(&locks[self]);
        guarded[self]++;
        pthread_mutex_unlock(&locks[self]);
        atomic_fetch_add(&total, 1);
    }
    return NULL;
}

int main(void) {
    struct sigaction action = {.sa_handler = tick};
    sigaction(SIGALRM, &action, NULL);
    pthread_t threads[workers];
    for (long index = 0; index < workers; ++index) pthread_create(&threads[index], NULL, work, (void*)index);
    struct itimerval often = {{0, 50}, {0, 50}}, off = {{0, 0}, {0, 0}};
    setitimer(ITIMER_REAL, &often, NULL);
    for (int index = 0; index < workers; ++index) pthread_join(threads[index], NULL);
    setitimer(ITIMER_REAL, &off, NULL);
    printf("%ld %ld %ld\n", guarded[0] + guarded[1] + guarded[2], atomic_load(&total), atomic_load(&handled));
    return guarded[0] + guarded[1] + guarded[2] == workers * rounds && atomic_load(&total) == workers * rounds &&
                   atomic_load(&handled) > 0
               ? 0
               : 1;
}
