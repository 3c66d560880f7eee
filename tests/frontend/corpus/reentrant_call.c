// tavo: reentrant
// tavo-options: watch=format_label
// A function that keeps its result in a static buffer, called by two threads at once: each is
// inside it while the other enters.
#include <pthread.h>
#include <stdio.h>

#include "rendezvous.h"

static char label[32];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

__attribute__((noinline)) static const char* format_label(int value) {
    pthread_mutex_lock(&lock);
    snprintf(label, sizeof label, "item %d", value);
    pthread_mutex_unlock(&lock);
    rendezvous(2);
    return label;
}

static void* work(void* argument) {
    const char* text = format_label((int)(long)argument);  // reentrant call
    return (void*)text;
}

int main(void) {
    run_threads(2, work);
    return 0;
}
