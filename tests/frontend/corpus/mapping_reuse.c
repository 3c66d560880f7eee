// tavo: clean
// One thread maps a page, fills it and unmaps it; another maps a page at the same address, fills
// it and moves it with mremap, nothing ordering the two: a new mapping starts with no history.
#define _GNU_SOURCE
#include <pthread.h>
#include <stdatomic.h>
#include <sys/mman.h>

static atomic_int step;  // relaxed: sequences the run without ordering anything
static char* page;

static char* fill_page(int step_before) {
    while (atomic_load_explicit(&step, memory_order_relaxed) < step_before) {
    }
    char* mapped = mmap(page, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    for (int index = 0; index < 64; ++index) mapped[index] = (char)(mapped[index] + 1);
    return mapped;
}

static void* first(void* argument) {
    munmap(fill_page(0), 4096);
    atomic_store_explicit(&step, 1, memory_order_relaxed);
    while (atomic_load_explicit(&step, memory_order_relaxed) < 2) {  // alive while the other fills
    }
    return argument;
}

static void* second(void* argument) {
    char* mapped = mremap(fill_page(1), 4096, 8192, MREMAP_MAYMOVE);
    const int good = mapped != MAP_FAILED && mapped[63] == 1;
    munmap(mapped, 8192);
    atomic_store_explicit(&step, 2, memory_order_relaxed);
    return good ? argument : NULL;
}

int main(void) {
    page = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(page, 4096);
    pthread_t threads[2];
    void* good = NULL;
    pthread_create(&threads[0], NULL, first, NULL);
    pthread_create(&threads[1], NULL, second, page);
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], &good);
    return good != NULL ? 0 : 1;
}
