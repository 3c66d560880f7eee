// Block lifetimes for either runtime: a 4 KiB block written granule by granule and kept, then the
// same with a malloc and a free around each pass, then a 64 KiB mapping made and removed around
// each pass. Prints nanoseconds per written 8-byte granule; the differences are the cost of
// receiving and giving back a block, per granule it held.
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>

#include "../timing.h"

#define PASSES 4000

static void fill(volatile long* block, long granules, long pass) {
    for (long index = 0; index < granules; ++index) block[index] = pass + index;
}

int main(int count, char** arguments) {
    const char* label = count > 1 ? arguments[1] : "alloc";
    const long small = 4096 / 8, large = 65536 / 8;
    long* kept = malloc(4096);
    double start = now();
    for (long pass = 0; pass < PASSES; ++pass) fill(kept, small, pass);
    printf("%-8s %-28s %8.2f ns per granule\n", label, "write a kept 4 KiB block", (now() - start) / (PASSES * small));
    free(kept);
    start = now();
    for (long pass = 0; pass < PASSES; ++pass) {
        long* block = malloc(4096);
        fill(block, small, pass);
        free(block);
    }
    printf("%-8s %-28s %8.2f ns per granule\n", label, "malloc, write, free 4 KiB", (now() - start) / (PASSES * small));
    start = now();
    for (long pass = 0; pass < PASSES / 4; ++pass) {
        long* mapped = mmap(NULL, 65536, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) return 1;
        fill(mapped, large, pass);
        munmap(mapped, 65536);
    }
    printf("%-8s %-28s %8.2f ns per granule\n", label, "mmap, write, munmap 64 KiB", (now() - start) / (PASSES / 4 * large));
    return 0;
}
