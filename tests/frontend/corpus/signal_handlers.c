// tavo: clean
// Handlers as the program installed them: sigaction and signal answer with the program's own
// handler and flags, an SA_SIGINFO handler receives what sigqueue sent, SA_RESETHAND leaves the
// default behind, errno survives. A handler runs as the thread it interrupts: its write follows
// the thread's own, and its sem_post orders both before the main thread's read. A timer's handler
// that jumps out of a loop of instrumented accesses leaves the next signals coming.
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <setjmp.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <sys/time.h>
#include <unistd.h>

#define CHECK(condition) \
    if (!(condition)) return printf("failed: %s\n", #condition), 1

static volatile sig_atomic_t runs;
static int received, message;
static atomic_int armed, done;
static sem_t posted;
static sigjmp_buf back;
static volatile int jumps;
static long spins;

static void counted(int number) { runs += number == SIGUSR1; }
static void with_info(int number, siginfo_t* info, void* context) {
    (void)context;
    received = number == SIGUSR2 && info->si_code == SI_QUEUE ? info->si_value.sival_int : -1;
}
static void post(int number) {
    (void)number;
    message = 2;
    sem_post(&posted);
}
static void jump(int number) {
    (void)number;
    siglongjmp(back, 1);
}

static void* busy(void* argument) {
    (void)argument;
    message = 1;
    atomic_store_explicit(&armed, 1, memory_order_relaxed);
    while (!atomic_load_explicit(&done, memory_order_relaxed)) {
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
    pthread_t thread;
    pthread_create(&thread, NULL, busy, NULL);
    while (!atomic_load_explicit(&armed, memory_order_relaxed)) {
    }
    pthread_kill(thread, SIGUSR1);
    sem_wait(&posted);
    CHECK(message == 2);
    atomic_store(&done, 1);
    pthread_join(thread, NULL);

    signal(SIGALRM, jump);
    struct itimerval often = {{0, 200}, {0, 200}}, off = {{0, 0}, {0, 0}};
    setitimer(ITIMER_REAL, &often, NULL);
    if (sigsetjmp(back, 1) != 0) ++jumps;
    while (jumps < 20) ++spins;
    setitimer(ITIMER_REAL, &off, NULL);
    printf("%d jumps\n", jumps);
    return 0;
}
