// tavo: racy
// Double-checked locking done wrong: the first check reads the pointer without the lock and
// without an atomic, so it races with the store made under the lock.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "rendezvous.h"

struct settings {
    int verbosity;
};

static struct settings* instance;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static struct settings* settings(void) {
    struct settings* current = instance;  // race
    if (current == NULL) {
        pthread_mutex_lock(&lock);
        if (instance == NULL) {
            struct settings* created = malloc(sizeof *created);
            created->verbosity = 2;  // race
            instance = created;  // race
        }
        current = instance;
        pthread_mutex_unlock(&lock);
    }
    return current;
}

static void* work(void* argument) {
    (void)argument;
    int verbosity = settings()->verbosity;  // race
    rendezvous(2);
    return (void*)(long)verbosity;
}

int main(void) {
    pthread_t threads[2];
    for (int index = 0; index < 2; ++index) pthread_create(&threads[index], NULL, work, NULL);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    printf("%d\n", instance->verbosity);
    free(instance);
    return 0;
}
