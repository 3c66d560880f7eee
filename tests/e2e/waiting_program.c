/* A program for gdb to attach to: it loads tavo, says so, and waits (at most a minute) to be killed.
 * Given an error code, it warns with it instead and ends: an error report that names the thread's
 * last call site. */
#include <stdio.h>
#include <stdlib.h>
#include <tavo/tavo.h>
#include <unistd.h>

static int shared;

int main(int argc, char **argv) {
    if (argc > 1) {
        _TAVO_syncAllocate(); /* the last call site */
        _TAVO_warn((int32_t)strtol(argv[1], NULL, 10));
        printf("warned\n");
        return 0;
    }
    _TAVO_writeMemory(&shared, sizeof shared);
    shared = 1;
    printf("waiting\n");
    fflush(stdout);
    for (int second = 0; second < 60; ++second) sleep(1);
    return 0;
}
