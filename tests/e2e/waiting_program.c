/* A program for gdb to attach to: it loads tavo, says so, and waits (at most a minute) to be killed.
 * Its arguments make it do something else once the library has loaded: "warn CODE" warns with the
 * code (an error report that names the thread's last call site), "exit N" ends with status N,
 * "signal N" raises signal N, "step" runs one child task for gdb to step through while the main
 * thread only waits for it, so that no other thread takes the library's polls meanwhile. */
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tavo/tavo.h>
#include <unistd.h>

static int shared;

static void *stepped_child(void *unused) {
    (void)unused;
    _TAVO_enterGenericTask(3, 1);
    _TAVO_readMemory(&shared, sizeof shared); /* the first step */
    _TAVO_writeMemory(&shared, sizeof shared);
    shared = 2;
    _TAVO_writeMemory(&shared, sizeof shared); /* polls even with reads ignored, where a read's call is skipped */
    shared = 3;
    _TAVO_leaveGenericTask(3, 1);
    return NULL;
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "step") == 0) {
        pthread_t child;
        pthread_create(&child, NULL, stepped_child, NULL);
        pthread_join(child, NULL);
        return 0;
    }
    if (argc > 2) {
        const int number = atoi(argv[2]);
        if (strcmp(argv[1], "warn") == 0) {
            _TAVO_syncAllocate(); /* the last call site */
            _TAVO_warn(number);
            printf("warned\n");
        } else if (strcmp(argv[1], "exit") == 0) {
            return number;
        } else if (strcmp(argv[1], "signal") == 0) {
            raise(number);
        }
        return 0;
    }
    _TAVO_writeMemory(&shared, sizeof shared);
    shared = 1;
    printf("waiting\n");
    fflush(stdout);
    for (int second = 0; second < 60; ++second) sleep(1);
    return 0;
}
