// tavo: racy
// tavo-fixed
// tavo-expect: #0 tick /
// tavo-expect: #0 small /
// tavo-absent: #2 (anonymous namespace)::run_handler
// Handlers as the program installed them: sigaction and signal answer with the program's own
// handler and flags, an SA_SIGINFO handler receives what sigqueue sent, SA_RESETHAND leaves the
// default behind, errno survives. A handler runs as the thread it interrupts: its write follows
// the thread's own, and its sem_post orders both before the main thread's read. The library
// works on whatever stack the program gives it: threads made with the smallest stack the system
// allows, and their signal handlers on a small alternate stack, lock, free and race there. A
// timer's handler that jumps out of a loop of instrumented accesses leaves the next signals coming
// and none of its frames on the main thread's stack, which later reports show. Last,
// threads write a table with nothing ordering them, take their mutexes and update an atomic, and
// a fast timer's handler writes the table too: the signal mostly interrupts them inside the
// detector, often while it reports, and every run must still end, with exact totals. Fixed, the
// small threads do not race, and the handler and the thread it interrupted write only that
// thread's slot: a handler's accesses are its thread's.
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <semaphore.h>
#include <setjmp.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include "rendezvous.h"

#define CHECK(condition) \
    if (!(condition)) return printf("failed: %s\n", #condition), 1

enum { workers = 3, rounds = 100000, slots = 256 };
static volatile sig_atomic_t runs;
static int received, message, shared;
static step_t armed, done;
static sem_t posted;
static sigjmp_buf back;
static volatile int jumps;
static long spins, table[workers * slots], guarded[workers];
static _Thread_local int self = -1;
ONLY_RACY(static long ticks);
ONLY_RACY(int unordered);  // not static: a store nobody reads would be dropped
static atomic_long total, handled;
static pthread_mutex_t locks[workers] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

static void counted(int number) { runs += number == SIGUSR1; }
static void with_info(int number, siginfo_t* info, void* context) {
    received = number == SIGUSR2 && info->si_code == SI_QUEUE ? info->si_value.sival_int : -1;
}
static void post(int number) {
    message = 2;
    sem_post(&posted);
}
static void jump(int number) { siglongjmp(back, 1); }

static void* busy(void* argument) {
    message = 1;
    atomic_store_explicit(&armed, 1, memory_order_relaxed);
    wait_until(&done, 1);
    return argument;
}

static void locked_work(int number) {
    pthread_mutex_lock(&locks[0]);
    ++shared;
    pthread_mutex_unlock(&locks[0]);
    free(malloc(64));
}

static void* small(void* argument) {
    const stack_t stack = {.ss_sp = malloc(16384), .ss_size = 16384};
    sigaltstack(&stack, NULL);
    const struct sigaction action = {.sa_handler = locked_work, .sa_flags = SA_ONSTACK};
    sigaction(SIGUSR1, &action, NULL);
    for (int round = 0; round < 100; ++round) {
        locked_work(0);
        raise(SIGUSR1);
    }
    ONLY_RACY(unordered = 1);  // race
    const stack_t none = {.ss_flags = SS_DISABLE};
    sigaltstack(&none, NULL);
    free(stack.ss_sp);
    return argument;
}

static void tick(int number) {
    ONLY_FIXED(if (self >= 0) table[self * slots]++);
    ONLY_RACY(table[ticks++ % (workers * slots)]++);  // race
    atomic_fetch_add_explicit(&handled, 1, memory_order_relaxed);
}

static void* work(void* argument) {
    self = (int)(long)argument;
    for (long round = 0; round < rounds; ++round) {
        table[RACY_OR_FIXED(round % (workers * slots), self * slots)] += round;  // race
        pthread_mutex_lock(&locks[self]);
        guarded[self]++;
        pthread_mutex_unlock(&locks[self]);
        atomic_fetch_add(&total, 1);
    }
    return NULL;
}

int main(void) {
    struct sigaction action = {.sa_sigaction = with_info, .sa_flags = SA_SIGINFO | SA_RESTART}, old;
    CHECK(sigaction(SIGUSR2, &action, NULL) == 0 && sigaction(SIGUSR2, NULL, &old) == 0);
    CHECK(old.sa_sigaction == with_info && (old.sa_flags & (SA_SIGINFO | SA_RESTART)) == (SA_SIGINFO | SA_RESTART));
    errno = EDOM;
    CHECK(sigqueue(getpid(), SIGUSR2, (union sigval){.sival_int = 42}) == 0 && received == 42 && errno == EDOM);
    CHECK(signal(SIGUSR2, counted) == (sighandler_t)with_info && sigaction(SIGUSR2, NULL, &old) == 0);
    CHECK(old.sa_handler == counted && (old.sa_flags & SA_SIGINFO) == 0);

    action = (struct sigaction){.sa_handler = counted, .sa_flags = SA_RESETHAND};
    CHECK(sigaction(SIGUSR1, &action, NULL) == 0 && raise(SIGUSR1) == 0 && runs == 1);
    CHECK(sigaction(SIGUSR1, NULL, &old) == 0 && old.sa_handler == SIG_DFL);

    sem_init(&posted, 0, 0);
    signal(SIGUSR1, post);
    pthread_t threads[workers];
    pthread_create(&threads[0], NULL, busy, NULL);
    wait_until(&armed, 1);
    pthread_kill(threads[0], SIGUSR1);
    sem_wait(&posted);
    CHECK(message == 2);
    atomic_store(&done, 1);
    pthread_join(threads[0], NULL);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, PTHREAD_STACK_MIN);
    for (int i = 0; i < 2; ++i) CHECK(pthread_create(&threads[i], &attributes, small, NULL) == 0);
    for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
    CHECK(shared == 400);

    struct itimerval often = {{0, 200}, {0, 200}}, off = {{0, 0}, {0, 0}};
    signal(SIGALRM, jump);
    setitimer(ITIMER_REAL, &often, NULL);
    if (sigsetjmp(back, 1) != 0) ++jumps;
    while (jumps < 20) ++spins;
    setitimer(ITIMER_REAL, &off, NULL);

    action = (struct sigaction){.sa_handler = tick};
    sigaction(SIGALRM, &action, NULL);
    often = (struct itimerval){{0, 50}, {0, 50}};
    setitimer(ITIMER_REAL, &often, NULL);
    run_threads(workers, work);
    setitimer(ITIMER_REAL, &off, NULL);
    CHECK(guarded[0] + guarded[1] + guarded[2] == workers * rounds && atomic_load(&total) == workers * rounds);
    CHECK(atomic_load(&handled) > 0);

    printf("%d jumps, %ld handled\n", jumps, atomic_load(&handled));
    return 0;
}
