// tavo: racy
// tavo-expect: which has finished
// Two threads write and end; the main thread joins one of them and only then reads what both
// wrote. The joined thread's write is ordered before the read; the other thread's is not, however
// long it has been gone (waiting for it in ways that order nothing).
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdio.h>

static int result, joined_result;
static atomic_int finished;  // relaxed: sequences the run without ordering anything

// Threads of the process, read from the system: waiting on it orders nothing.
static int thread_count(void) {
    DIR* tasks = opendir("/proc/self/task");
    int count = 0;
    while (readdir(tasks) != NULL) ++count;
    closedir(tasks);
    return count - 2;
}

static void* compute(void* argument) {
    (void)argument;
    result = 42;  // race
    atomic_store_explicit(&finished, 1, memory_order_relaxed);
    return NULL;
}

static void* compute_joined(void* argument) {
    (void)argument;
    joined_result = 1;
    return NULL;
}

int main(void) {
    pthread_t thread, joined;
    pthread_create(&thread, NULL, compute, NULL);
    pthread_detach(thread);
    pthread_create(&joined, NULL, compute_joined, NULL);
    pthread_join(joined, NULL);
    while (!atomic_load_explicit(&finished, memory_order_relaxed)) {
    }
    // Once it has ended, the main thread is the only one left: still a race.
    while (thread_count() > 1) sched_yield();
    printf("%d %d\n", result, joined_result);  // race
    return 0;
}
