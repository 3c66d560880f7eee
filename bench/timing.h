// The clock of the side-by-side benchmark programs, which build alike plain, with ThreadSanitizer
// and through tavocc. Nanoseconds on BENCH_CLOCK, wall time unless the program names another.
#pragma once

#include <time.h>

#ifndef BENCH_CLOCK
#define BENCH_CLOCK CLOCK_MONOTONIC
#endif

static double now(void) {
    struct timespec time;
    clock_gettime(BENCH_CLOCK, &time);
    return (double)time.tv_sec * 1e9 + (double)time.tv_nsec;
}
