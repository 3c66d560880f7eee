// tavo: clean
// A table built once by pthread_once, used by every thread without a lock.
#include <pthread.h>
#include <stdio.h>

static pthread_once_t once = PTHREAD_ONCE_INIT;
static int squares[32];

static void build(void) {
    for (int index = 0; index < 32; ++index) squares[index] = index * index;
}

static void* work(void* argument) {
    pthread_once(&once, build);
    return (void*)(long)squares[(long)argument];
}

int main(void) {
    pthread_t threads[3];
    for (long index = 0; index < 3; ++index) pthread_create(&threads[index], NULL, work, (void*)(index + 2));
    long sum = 0;
    for (int index = 0; index < 3; ++index) {
        void* value = NULL;
        pthread_join(threads[index], &value);
        sum += (long)value;
    }
    printf("%ld\n", sum);
    return sum == 4 + 9 + 16 ? 0 : 1;
}
