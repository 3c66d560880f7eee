/* What an instrumenting compiler emits for a tiny program: every access goes through the library. */
#include <stdio.h>
#include <tavo/tavo.h>

static int counter;

int main(void) {
    _TAVO_writeMemory(&counter, sizeof counter);
    counter = 41;
    _TAVO_updateMemory(&counter, sizeof counter);
    ++counter;
    _TAVO_readMemory(&counter, sizeof counter);
    printf("counter = %d\n", counter);
    return 0;
}
