// tavo: clean
// 50 child processes end while detached threads are still ending, still synchronising and still
// running: main returns, a worker calls exit(), main calls quick_exit() or _exit(). None may crash
// or hang.
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

enum { workers = 8, locks = 2048, runs = 50 };
enum { return_from_main, exit_from_worker, quick_exit_from_main, underscore_exit_from_main };

static pthread_mutex_t mutexes[locks];
static long counts[workers + 1];  // one per thread, main last
static atomic_int finished;
static int way_out;

// Every worker goes through many locks, so that the library's tables of sync objects are large
// while the process exits.
static void lock_round(long index, int round) {
    pthread_mutex_t* mutex = &mutexes[(index * 7 + round) % locks];
    pthread_mutex_lock(mutex);
    ++counts[index];
    pthread_mutex_unlock(mutex);
}

static void* work(void* argument) {
    const long index = (long)argument;
    for (int round = 0; round < locks; ++round) lock_round(index, round);
    atomic_fetch_add(&finished, 1);
    if (index == 0 && way_out == exit_from_worker) exit(0);
    if (index % 2 == 0) return NULL;  // ends while main exits
    for (int round = 0;; ++round) lock_round(index, round);  // runs until the process is gone
}

// Returns when main is to return.
static void child(void) {
    alarm(20);  // a hang fails the run
    for (int index = 0; index < locks; ++index) pthread_mutex_init(&mutexes[index], NULL);
    for (long index = 0; index < workers; ++index) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, work, (void*)index) != 0) _exit(2);
        pthread_detach(thread);
    }
    while (atomic_load(&finished) < workers) sched_yield();
    switch (way_out) {
    case quick_exit_from_main: quick_exit(0);
    case underscore_exit_from_main: _exit(0);
    case exit_from_worker: for (;;) lock_round(workers, 0);
    default: return;
    }
}

int main(void) {
    for (int run = 0; run < runs; ++run) {
        way_out = run % 4;
        const pid_t pid = fork();
        if (pid < 0) return 2;
        if (pid == 0) {
            child();
            return 0;
        }
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "run %d (way out %d) ended with status 0x%x\n", run, way_out, status);
            return 1;
        }
    }
    return 0;
}
