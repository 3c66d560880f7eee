// Alone in its file so that a program linking the static core can define its own stop.
#include "tavo/tavo.h"

extern "C" TAVO_API __attribute__((noinline)) void __tavo_switch_to_debugger(void) {
    // The debugger's breakpoint lands here; the barrier keeps the call from being elided.
    asm volatile("" ::: "memory");
}
