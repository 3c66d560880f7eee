// tavo: clean
// A value handed from one thread to another through a condition variable and its mutex; the
// reader touches the value after the wait, outside the lock.
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t ready_condition = PTHREAD_COND_INITIALIZER;
static int ready;
static char message[32];

static void* producer(void* argument) {
    (void)argument;
    snprintf(message, sizeof message, "hello");
    pthread_mutex_lock(&lock);
    ready = 1;
    pthread_cond_signal(&ready_condition);
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void) {
    pthread_t thread;
    pthread_create(&thread, NULL, producer, NULL);
    pthread_mutex_lock(&lock);
    while (!ready) pthread_cond_wait(&ready_condition, &lock);
    pthread_mutex_unlock(&lock);
    message[0] = 'H';
    printf("%s\n", message);
    pthread_join(thread, NULL);
    return 0;
}
