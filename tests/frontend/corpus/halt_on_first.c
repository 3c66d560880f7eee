// tavo: racy
// tavo-options: halt_on_error=1:exitcode=3
// tavo-exit: 3
// tavo-reports: 1
// Two unrelated races; the run stops at the first report with the configured status.
#include <pthread.h>
#include <stdio.h>

#include "rendezvous.h"

static int first_counter;
static int second_counter;

static void* work(void* argument) {
    (void)argument;
    first_counter += 1;  // race
    rendezvous(2);
    second_counter += 1;
    rendezvous(4);
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    for (int index = 0; index < 2; ++index) pthread_create(&threads[index], NULL, work, NULL);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    printf("%d %d\n", first_counter, second_counter);
    return 0;
}
