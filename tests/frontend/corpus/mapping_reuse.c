// tavo: clean
// One thread maps a page, fills it and unmaps it; another maps a page at the same address and
// fills it, nothing ordering the two: the new mapping starts with no history.
#define _GNU_SOURCE
#include <pthread.h>
#include <stdatomic.h>
#include <string.h>
#include <sys/mman.h>

static atomic_int step;  // relaxed: sequences the run without ordering anything
static char* page;

static void wait_for(int value) {
    while (atomic_load_explicit(&step, memory_order_relaxed) < value) {
    }
}

static char* map_page(void) {
    return mmap(page, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
}

static void* first(void* argument) {
    (void)argument;
    char* mapped = map_page();
    for (int index = 0; index < 64; ++index) mapped[index] = (char)index;
    munmap(mapped, 4096);
    atomic_store_explicit(&step, 1, memory_order_relaxed);
    wait_for(2);  // still running while the other thread fills its page
    return NULL;
}

static void* second(void* argument) {
    (void)argument;
    wait_for(1);
    char* mapped = map_page();
    for (int index = 0; index < 64; ++index) mapped[index] = (char)(mapped[index] + 1);
    mapped = mremap(mapped, 4096, 8192, MREMAP_MAYMOVE);
    int good = mapped != MAP_FAILED && mapped[63] == 1;
    munmap(mapped, 8192);
    atomic_store_explicit(&step, 2, memory_order_relaxed);
    return (void*)(long)good;
}

int main(void) {
    page = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(page, 4096);
    pthread_t threads[2];
    void* good = NULL;
    pthread_create(&threads[0], NULL, first, NULL);
    pthread_create(&threads[1], NULL, second, NULL);
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], &good);
    return good != NULL ? 0 : 1;
}
