// A child forked while other threads are inside the library (locking, allocating, starting
// threads) must not wait for locks that those threads, absent in the child, held at the fork. A
// run that reported ends with the run's status however it ends, _exit included; a child forked
// after the report is a run of its own and ends with its own status. Before that, C11 threads,
// which the C library builds on its pthreads by internal calls: thrd_create and thrd_join,
// call_once, a mtx_t and a cnd_t must order what they order under pthreads; racy, a counter is
// incremented outside the lock.
// tavo: racy
// tavo-fixed
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <threads.h>
#include <unistd.h>

#include "rendezvous.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static atomic_int stop;
static long busy_rounds;
static once_flag table_once = ONCE_FLAG_INIT;
static int counter, table[4], ready, c11_counter;
static mtx_t c11_lock;
static cnd_t ready_condition;
static char message[8];
#ifdef FIXED
enum { rounds = 1000, locked = 1 };
#else
enum { rounds = 1, locked = 0 };
#endif

static void* nothing(void* argument) { return argument; }

static void* busy(void* argument) {
    while (!atomic_load(&stop)) {
        pthread_mutex_lock(&lock);
        ++busy_rounds;
        pthread_mutex_unlock(&lock);
        free(malloc(100));
        run_threads(1, nothing);
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
            run_threads(3, nothing);
            _exit(0);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || status != 0) abort();
    }
}

static void* add(void* argument) {
    if (locked) pthread_mutex_lock(&lock);
    ++counter;  // race
    if (locked) pthread_mutex_unlock(&lock);
    return argument;
}

static void fill_table(void) { for (int i = 0; i < 4; ++i) table[i] = i * i; }

static int c11_worker(void* argument) {
    call_once(&table_once, fill_table);
    for (int round = 0; round < rounds; ++round) {
        if (locked) mtx_lock(&c11_lock);
        c11_counter += table[round % 4];  // race
        if (locked) mtx_unlock(&c11_lock);
    }
    if (argument != NULL) {
        snprintf(message, sizeof message, "done");
        mtx_lock(&c11_lock);
        ready = 1;
        cnd_signal(&ready_condition);
        mtx_unlock(&c11_lock);
        thrd_exit(7);
    }
    return 0;
}

static void c11_threads(void) {
    mtx_init(&c11_lock, mtx_plain);
    cnd_init(&ready_condition);
    thrd_t threads[2];
    thrd_create(&threads[0], c11_worker, message);
    thrd_create(&threads[1], c11_worker, NULL);
    mtx_lock(&c11_lock);
    while (!ready) cnd_wait(&ready_condition, &c11_lock);
    mtx_unlock(&c11_lock);
    message[0] = 'D';
    int results[2];
    for (int i = 0; i < 2; ++i) thrd_join(threads[i], &results[i]);
    if (results[0] != 7 || results[1] != 0 || message[0] != 'D' || message[1] != 'o' || (locked && c11_counter != 2 * 14 * rounds / 4)) abort();
    cnd_destroy(&ready_condition);
    mtx_destroy(&c11_lock);
}

int main(void) {
    pthread_t threads[4];
    for (int i = 0; i < 4; ++i) pthread_create(&threads[i], NULL, busy, NULL);
    forks();
    atomic_store(&stop, 1);
    for (int i = 0; i < 4; ++i) pthread_join(threads[i], NULL);
    run_threads(2, add);
    c11_threads();
    int status = 0;
    const pid_t child = fork();
    if (child == 0) exit(7);
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 7) abort();
    _exit(0);
}
