// A child forked while other threads are inside the library (locking, allocating, starting
// threads) must not wait for locks that those threads, absent in the child, held at the fork. A
// run that reported ends with the run's status however it ends, _exit included; a child forked
// after the report is a run of its own and ends with its own status.
// tavo: racy
// tavo-fixed
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static atomic_int stop;
static long busy_rounds;
static int counter;

static void* nothing(void* argument) { return argument; }

static void start_and_join(void* (*routine)(void*), int count) {
    pthread_t threads[4];
    for (int i = 0; i < count; ++i) pthread_create(&threads[i], NULL, routine, NULL);
    for (int i = 0; i < count; ++i) pthread_join(threads[i], NULL);
}

static void* busy(void* argument) {
    while (!atomic_load(&stop)) {
        pthread_mutex_lock(&lock);
        ++busy_rounds;
        pthread_mutex_unlock(&lock);
        free(malloc(100));
        start_and_join(nothing, 1);
    }
    return argument;
}

static void forks(void) {
    for (int round = 0; round < 200; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(10);
            signal(SIGUSR1, SIG_IGN);
            free(malloc(64));
            start_and_join(nothing, 3);
            _exit(0);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || status != 0) abort();
    }
}

static void* add(void* argument) {
#ifdef FIXED
    pthread_mutex_lock(&lock);
#endif
    ++counter;  // race
#ifdef FIXED
    pthread_mutex_unlock(&lock);
#endif
    return argument;
}

int main(void) {
    pthread_t threads[4];
    for (int i = 0; i < 4; ++i) pthread_create(&threads[i], NULL, busy, NULL);
    forks();
    atomic_store(&stop, 1);
    for (int i = 0; i < 4; ++i) pthread_join(threads[i], NULL);
    start_and_join(add, 2);
    int status = 0;
    const pid_t child = fork();
    if (child == 0) exit(7);
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 7) abort();
    _exit(0);
}
