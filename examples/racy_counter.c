/* Two threads increment one counter with no synchronisation: a data race. The calls into tavo are
 * those an instrumenting compiler emits: each thread runs inside its own task of type 3 (native
 * thread), and the increment is announced as an update of the counter before it happens.
 *
 * The barriers are not announced to tavo, so they order nothing in its eyes. They only make the
 * run repeatable: task 1 increments first and task 2 second, while both tasks are alive, so the
 * race is found on every run, once, by task 2. Without them a fast thread could end its task
 * before the other one starts (a task that has ended is forgotten), or both could check at once
 * and each report the other. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <tavo/tavo.h>

static int counter;
static pthread_barrier_t first_done;
static pthread_barrier_t both_done;

static void* increment(void* argument) {
    const uint64_t task_id = (uint64_t)(uintptr_t)argument;
    _TAVO_enterGenericTask(3, task_id);
    if (task_id == 2) pthread_barrier_wait(&first_done);

    _TAVO_updateMemory(&counter, sizeof counter);
    ++counter;

    if (task_id == 1) pthread_barrier_wait(&first_done);
    pthread_barrier_wait(&both_done);
    _TAVO_leaveGenericTask(3, task_id);
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    pthread_barrier_init(&first_done, NULL, 2);
    pthread_barrier_init(&both_done, NULL, 2);
    for (uintptr_t id = 1; id <= 2; ++id) pthread_create(&threads[id - 1], NULL, increment, (void*)id);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    printf("counter = %d\n", counter);
    return 0;
}
