// tavo: clean
// Threads that end by cancellation or pthread_exit run their cleanup handlers on the way out;
// what the handlers write is ordered before the join like the rest of the thread's work.
#define _DEFAULT_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static int cleaned[2];

static void cleanup(void* slot) { ++*(int*)slot; }

static void* cancelled(void* argument) {
    pthread_cleanup_push(cleanup, argument);
    for (;;) {
        pthread_testcancel();
        usleep(100);
    }
    pthread_cleanup_pop(0);
    return NULL;
}

static void* exits(void* argument) {
    pthread_cleanup_push(cleanup, argument);
    pthread_exit(NULL);
    pthread_cleanup_pop(0);
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    pthread_create(&threads[0], NULL, cancelled, &cleaned[0]);
    pthread_create(&threads[1], NULL, exits, &cleaned[1]);
    pthread_cancel(threads[0]);
    for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
    printf("%d %d\n", ++cleaned[0], ++cleaned[1]);
    return 0;
}
