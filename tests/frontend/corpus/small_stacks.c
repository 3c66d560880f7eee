// The library works on whatever stack the program gives it: a thread made with the smallest stack
// the system allows, and signal handlers on a small alternate stack, lock, free and race there.
// tavo: racy
// tavo-fixed
#define _GNU_SOURCE
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int shared;

static void work(void) {
    pthread_mutex_lock(&lock);
    ++shared;
    pthread_mutex_unlock(&lock);
    free(malloc(64));
}

static void on_signal(int number) {
    (void)number;
    work();
}

static void* small(void* argument) {
    const stack_t stack = {.ss_sp = malloc(16384), .ss_size = 16384};
    sigaltstack(&stack, NULL);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    action.sa_flags = SA_ONSTACK;
    sigaction(SIGUSR1, &action, NULL);
    for (int round = 0; round < 100; ++round) {
        work();
        raise(SIGUSR1);
    }
#ifdef FIXED
    (void)argument;
#else
    *(int*)argument = 1;  // race
#endif
    const stack_t none = {.ss_flags = SS_DISABLE};
    sigaltstack(&none, NULL);
    free(stack.ss_sp);
    return NULL;
}

int main(void) {
    static int unordered;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, PTHREAD_STACK_MIN);
    pthread_t threads[2];
    for (int i = 0; i < 2; ++i)
        if (pthread_create(&threads[i], &attributes, small, &unordered) != 0) abort();
    for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
    return shared == 400 ? 0 : 1;
}
