// tavo: clean
// The counter of racy_counter.c under a mutex.
#include <pthread.h>
#include <stdio.h>

static int counter;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void* work(void* argument) {
    (void)argument;
    for (int round = 0; round < 1000; ++round) {
        pthread_mutex_lock(&lock);
        counter++;
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

int main(void) {
    pthread_t threads[3];
    for (int index = 0; index < 3; ++index) pthread_create(&threads[index], NULL, work, NULL);
    for (int index = 0; index < 3; ++index) pthread_join(threads[index], NULL);
    printf("%d\n", counter);
    return counter == 3000 ? 0 : 1;
}
