// tavo: racy
// tavo-fixed
// An acquire fence orders the thread after the releases whose values its earlier relaxed reads
// read, and after no other. Here the reader reads the flag before the writer's release, then waits
// for the writer through a relaxed flag that orders nothing. Fixed, it reads the released value.
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

static int data;
static atomic_int flag, ready, done;

static void* writer(void* argument) {
    (void)argument;
    while (!atomic_load_explicit(&ready, memory_order_relaxed)) {
    }
    data = 1;  // race
    atomic_store_explicit(&flag, 1, memory_order_release);
    atomic_store_explicit(&done, 1, memory_order_relaxed);
    return NULL;
}

int main(void) {
    // The flag has a clock before the reader's first read.
    atomic_store_explicit(&flag, 0, memory_order_release);
    pthread_t thread;
    pthread_create(&thread, NULL, writer, NULL);
    int seen = 0;
#ifdef FIXED
    atomic_store_explicit(&ready, 1, memory_order_relaxed);
    while (!atomic_load_explicit(&flag, memory_order_relaxed)) {
    }
#else
    seen = atomic_load_explicit(&flag, memory_order_relaxed);
    atomic_store_explicit(&ready, 1, memory_order_relaxed);
    while (!atomic_load_explicit(&done, memory_order_relaxed)) {
    }
#endif
    atomic_thread_fence(memory_order_acquire);
    seen += data;  // race
    pthread_join(thread, NULL);
    printf("%d\n", seen);
    return 0;
}
