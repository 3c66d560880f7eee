/* A program for gdb to attach to: it loads tavo, says so, and waits (at most a minute) to be killed. */
#include <stdio.h>
#include <tavo/tavo.h>
#include <unistd.h>

static int shared;

int main(void) {
    _TAVO_writeMemory(&shared, sizeof shared);
    shared = 1;
    printf("waiting\n");
    fflush(stdout);
    for (int second = 0; second < 60; ++second) sleep(1);
    return 0;
}
