// A child forked while other threads are inside the library (locking, allocating, starting threads)
// must not wait for locks that those threads, absent in the child, held at the fork.
// tavo: clean
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static atomic_int stop;
static long counter;

static void* nothing(void* argument) { return argument; }

static void* busy(void* argument) {
    (void)argument;
    while (!atomic_load(&stop)) {
        pthread_mutex_lock(&lock);
        ++counter;
        pthread_mutex_unlock(&lock);
        free(malloc(100));
        pthread_t thread;
        pthread_create(&thread, NULL, nothing, NULL);
        pthread_join(thread, NULL);
    }
    return NULL;
}

int main(void) {
    pthread_t threads[4];
    for (int i = 0; i < 4; ++i) pthread_create(&threads[i], NULL, busy, NULL);
    for (int round = 0; round < 200; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(10);
            signal(SIGUSR1, SIG_IGN);
            free(malloc(64));
            for (int i = 0; i < 3; ++i) {
                pthread_t thread;
                pthread_create(&thread, NULL, nothing, NULL);
                pthread_join(thread, NULL);
            }
            _exit(0);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || status != 0) abort();
    }
    atomic_store(&stop, 1);
    for (int i = 0; i < 4; ++i) pthread_join(threads[i], NULL);
    return 0;
}
