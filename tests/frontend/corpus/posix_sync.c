// tavo: racy
// tavo-reports: 12
// tavo-expect: which has finished
// Ways POSIX threads order their work, then memory the C library and sync objects touch, with
// nothing ordering two threads. Ordered: a detached thread fills a buffer and posts a semaphore;
// the main thread waits on it before reading, and never joins. Threads write their own slots, then
// after a barrier read their neighbour's, then after another barrier write their own again. A
// counter under a spin lock built on C11 atomics: exchange with acquire, store with release, and a
// compare-and-swap that must return exact values for the loop to end. Unordered: read() and
// memcpy() fill buffers the other thread compares and sums, strcpy() a name it prints, snprintf()
// a line whose length it takes, fgets() a line it compares, the GNU strerror_r() a message it
// searches, and a constant-size memset(), which compilers would expand inline unseen, bytes it
// reads. Sync objects are memory too: the other thread initialises a mutex that the first has
// locked and unlocked, destroys a condition variable and a semaphore it signalled and posted, and
// initialises again a barrier it waited on. Last, two threads write and end; the main thread joins
// one of them and only then reads what both wrote. The joined thread's write is ordered before the
// read; the other thread's is not, however long it has been gone (waiting for it in ways that
// order nothing).
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "rendezvous.h"

#define THREADS 3
static sem_t done, semaphore;
static pthread_barrier_t barrier, used_barrier;
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
static int buffer[8], slots[THREADS], seen[THREADS], counter, computed, joined_result;
static atomic_int lock, finished;
static atomic_long operations;
static char block[16], copy[16], name[16], line[32], text[64], message[64], wiped[64];
static const char zeros[16];
static char filler[] = "filler";

static void* fill_buffer(void* argument) {
    for (int index = 0; index < 8; ++index) buffer[index] = index;
    sem_post(&done);
    return argument;
}

static void* work(void* argument) {
    const long index = (long)argument;
    for (int round = 0; round < 3; ++round) {
        slots[index] = (int)index + round;
        pthread_barrier_wait(&barrier);
        seen[index] += slots[(index + 1) % THREADS];
        pthread_barrier_wait(&barrier);
    }
    for (int round = 0; round < 500; ++round) {
        while (atomic_exchange_explicit(&lock, 1, memory_order_acquire) != 0) sched_yield();
        counter++;
        atomic_store_explicit(&lock, 0, memory_order_release);
        long operations_seen = atomic_load_explicit(&operations, memory_order_relaxed);
        while (!atomic_compare_exchange_weak(&operations, &operations_seen, operations_seen + 1)) sched_yield();
    }
    return NULL;
}

static void* fill(void* argument) {
    const int fd = open("/dev/zero", O_RDONLY);
    if (read(fd, block, sizeof block) != sizeof block) return NULL;  // race
    close(fd);
    memcpy(copy, filler, sizeof filler);                             // race
    strcpy(name, filler);                                            // race
    snprintf(line, sizeof line, "%d bytes", 16);                     // race
    FILE* file = tmpfile();
    fputs("a line\n", file);
    rewind(file);
    if (fgets(text, sizeof text, file) == NULL) return NULL;         // race
    fclose(file);
    if (strerror_r(12345, message, sizeof message) == NULL) return NULL;  // race
    memset(wiped, 1, sizeof wiped);                                  // race
    pthread_mutex_lock(&mutex);       // race
    pthread_mutex_unlock(&mutex);     // race
    pthread_cond_signal(&condition);  // race
    sem_post(&semaphore);             // race
    pthread_barrier_wait(&used_barrier);  // race
    rendezvous(2);
    return argument;
}

static void* use(void* argument) {
    wait_until(&rendezvous_arrived, 1);
    FILE* sink = fopen("/dev/null", "w");
    int result = memcmp(block, zeros, sizeof block);  // race
    for (size_t index = 0; index < sizeof copy; ++index) result += copy[index];  // race
    fputs(name, sink);                                // race
    result += (int)strlen(line);                      // race
    result += strcmp(text, "another line\n") != 0;    // race
    result += strchr(message, '5') != NULL;           // race
    result += wiped[40];                              // race
    fclose(sink);
    pthread_mutex_init(&mutex, NULL);              // race
    pthread_cond_destroy(&condition);              // race
    sem_destroy(&semaphore);                       // race
    pthread_barrier_init(&used_barrier, NULL, 1);  // race
    *(int*)argument = result;
    rendezvous(2);
    return NULL;
}

// Threads of the process, read from the system: waiting on it orders nothing.
static int thread_count(void) {
    DIR* tasks = opendir("/proc/self/task");
    int count = 0;
    while (readdir(tasks) != NULL) ++count;
    closedir(tasks);
    return count - 2;
}

static void* compute(void* argument) {
    computed = 42;  // race
    atomic_store_explicit(&finished, 1, memory_order_relaxed);
    return argument;
}

static void* compute_joined(void* argument) {
    joined_result = 1;
    return argument;
}

int main(void) {
    sem_init(&done, 0, 0);
    pthread_t threads[THREADS];
    pthread_create(&threads[0], NULL, fill_buffer, NULL);
    pthread_detach(threads[0]);
    sem_wait(&done);
    int sum = 0;
    for (int index = 0; index < 8; ++index) sum += buffer[index];
    buffer[0] = sum;
    pthread_barrier_init(&barrier, NULL, THREADS);
    run_threads(THREADS, work);
    pthread_barrier_destroy(&barrier);
    if (sum != 28 || counter != 500 * THREADS || atomic_load(&operations) != 500 * THREADS) return 1;

    sem_init(&semaphore, 0, 0);
    pthread_barrier_init(&used_barrier, NULL, 1);
    int used = 0;
    pthread_create(&threads[0], NULL, fill, NULL);
    pthread_create(&threads[1], NULL, use, &used);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    pthread_barrier_destroy(&used_barrier);

    pthread_create(&threads[0], NULL, compute, NULL);
    pthread_detach(threads[0]);
    pthread_create(&threads[1], NULL, compute_joined, NULL);
    pthread_join(threads[1], NULL);
    wait_until(&finished, 1);
    // Once it has ended, the main thread is the only one left: still a race.
    while (thread_count() > 1) sched_yield();
    printf("%d %d %d %d %d %d %d\n", sum, seen[0], seen[1], seen[2], used >= 0, computed, joined_result);  // race
    return 0;
}
