// tavo: clean
// A detached thread fills a buffer and posts a semaphore; the main thread waits on it before
// reading, and never joins.
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>

static sem_t done;
static int buffer[8];

static void* fill(void* argument) {
    (void)argument;
    for (int index = 0; index < 8; ++index) buffer[index] = index;
    sem_post(&done);
    return NULL;
}

int main(void) {
    sem_init(&done, 0, 0);
    pthread_t thread;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_create(&thread, &attributes, fill, NULL);
    pthread_detach(thread);
    sem_wait(&done);
    int sum = 0;
    for (int index = 0; index < 8; ++index) sum += buffer[index];
    buffer[0] = sum;
    printf("%d\n", sum);
    return sum == 28 ? 0 : 1;
}
