/* A parent forks two children and waits for them, as an instrumenting compiler would report it.
 * Each child acquires its fork's start object before it works and releases the end object after;
 * the parent's task wait takes the children's work in. Every access is ordered: no detection. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <tavo/tavo.h>

static int data[2];

struct child {
    uint64_t fork_id;
    int index;
};

static void* child_task(void* argument) {
    const struct child* self = argument;
    _TAVO_enterGenericTask(3, self->fork_id);
    _TAVO_syncAcquire(5, self->fork_id);
    _TAVO_readMemory(&data[self->index], sizeof data[0]);
    _TAVO_writeMemory(&data[self->index], sizeof data[0]);
    data[self->index] *= 10;
    _TAVO_syncRelease(6, self->fork_id);
    _TAVO_leaveGenericTask(3, self->fork_id);
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    struct child children[2];
    for (int i = 0; i < 2; ++i) {
        _TAVO_writeMemory(&data[i], sizeof data[i]);
        data[i] = i + 1;
    }
    for (int i = 0; i < 2; ++i) {
        children[i].fork_id = _TAVO_syncForkTaskCurrent();
        children[i].index = i;
        pthread_create(&threads[i], NULL, child_task, &children[i]);
    }
    for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
    _TAVO_syncTaskwaitCurrent();
    for (int i = 0; i < 2; ++i) _TAVO_readMemory(&data[i], sizeof data[i]);
    printf("results: %d %d\n", data[0], data[1]);
    return 0;
}
