// tavo: clean
// Jobs allocated by the main thread, handed to a worker under a mutex, read and freed there: the
// main thread receives the same blocks again and fills them while nothing orders the worker's
// reads before that. A new block starts with no history, so this is no race.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

enum { job_count = 400 };
struct job {
    int number;
    int values[9];
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static struct job* slot;
static int done;
static long total;

static void* worker(void* argument) {
    (void)argument;
    for (;;) {
        pthread_mutex_lock(&lock);
        while (slot == NULL && !done) pthread_cond_wait(&changed, &lock);
        struct job* job = slot;
        slot = NULL;
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
        if (job == NULL) return NULL;
        long sum = job->number;
        for (int index = 0; index < 9; ++index) sum += job->values[index];
        free(job);
        __atomic_fetch_add(&total, sum, __ATOMIC_RELAXED);
    }
}

int main(void) {
    pthread_t thread;
    pthread_create(&thread, NULL, worker, NULL);
    static void* seen[job_count];
    int reused = 0;
    for (int number = 0; number < job_count; ++number) {
        struct job* job = malloc(sizeof *job);
        for (int index = 0; index < number; ++index) reused += seen[index] == job;
        seen[number] = job;
        job->number = number;
        for (int index = 0; index < 9; ++index) job->values[index] = index;
        pthread_mutex_lock(&lock);
        while (slot != NULL) pthread_cond_wait(&changed, &lock);
        slot = job;
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
    }
    pthread_mutex_lock(&lock);
    while (slot != NULL) pthread_cond_wait(&changed, &lock);
    done = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    pthread_join(thread, NULL);
    // Without reuse the run would show nothing.
    if (reused == 0) {
        fprintf(stderr, "no block was reused\n");
        return 1;
    }
    return total == (long)job_count * (job_count - 1) / 2 + 36L * job_count ? 0 : 1;
}
