// tavo: racy
// tavo-fixed
// C11 threads, which the C library builds on its pthreads by internal calls: thrd_create and
// thrd_join, call_once, a mtx_t and a cnd_t must order what they order under pthreads. Without
// FIXED the counter is incremented outside the lock.
#include <stdio.h>
#include <threads.h>

static once_flag table_once = ONCE_FLAG_INIT;
static int table[4];
static mtx_t lock;
static cnd_t ready_condition;
static int ready, counter;
static char message[8];

#ifdef FIXED
enum { rounds = 1000, locked = 1 };
#else
enum { rounds = 1, locked = 0 };
#endif

static void fill_table(void) {
    for (int i = 0; i < 4; ++i) table[i] = i * i;
}

static int worker(void* argument) {
    call_once(&table_once, fill_table);
    for (int round = 0; round < rounds; ++round) {
        if (locked) mtx_lock(&lock);
        counter += table[round % 4];  // race
        if (locked) mtx_unlock(&lock);
    }
    if (argument != NULL) {
        snprintf(message, sizeof message, "done");
        mtx_lock(&lock);
        ready = 1;
        cnd_signal(&ready_condition);
        mtx_unlock(&lock);
        thrd_exit(7);
    }
    return 0;
}

int main(void) {
    mtx_init(&lock, mtx_plain);
    cnd_init(&ready_condition);
    thrd_t threads[2];
    thrd_create(&threads[0], worker, message);
    thrd_create(&threads[1], worker, NULL);
    mtx_lock(&lock);
    while (!ready) cnd_wait(&ready_condition, &lock);
    mtx_unlock(&lock);
    message[0] = 'D';
    int results[2];
    for (int i = 0; i < 2; ++i) thrd_join(threads[i], &results[i]);
    printf("%s %d %d %d\n", message, counter, results[0], results[1]);
    cnd_destroy(&ready_condition);
    mtx_destroy(&lock);
    return 0;
}
