// tavo: racy
// tavo-fixed
// A sequentially consistent fence is an acquire and a release fence at once. Fixed, the writer
// fences before its relaxed store as the reader does after its relaxed read.
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

static int data;
static atomic_int flag;

static void* writer(void* argument) {
    (void)argument;
    data = 1;  // race
#ifdef FIXED
    atomic_thread_fence(memory_order_seq_cst);
#endif
    atomic_store_explicit(&flag, 1, memory_order_relaxed);
    return NULL;
}

int main(void) {
    pthread_t thread;
    pthread_create(&thread, NULL, writer, NULL);
    while (!atomic_load_explicit(&flag, memory_order_relaxed)) {
    }
    atomic_thread_fence(memory_order_seq_cst);
    const int seen = data;  // race
    pthread_join(thread, NULL);
    printf("%d\n", seen);
    return 0;
}
