/* Two native threads, each in a task of its own, are inside one watched function at once.
 *
 * An instrumenting compiler brackets each watched function with _TAVO_enterFunction and
 * _TAVO_leaveFunction and each thread's work with task entry and exit; here that is done by hand.
 * The program also plays the debugger: it defines __tavo_switch_to_debugger, where a real debugger
 * would stop, switches reentrant-call detection on when the library reports that it has loaded,
 * and prints what each reentrant-call stop carries. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <tavo/tavo.h>

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int inside;  /* how many threads are inside the watched function */

static void wait_until_inside(int count) {
    pthread_mutex_lock(&mutex);
    while (inside < count) pthread_cond_wait(&changed, &mutex);
    pthread_mutex_unlock(&mutex);
}

static void announce_inside(void) {
    pthread_mutex_lock(&mutex);
    ++inside;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&mutex);
}

/* Not reentrant: it keeps its state in a static buffer. */
static const char *describe(int task) {
    static char text[32];
    _TAVO_enterFunction((const void *)(uintptr_t)describe, __builtin_frame_address(0));
    snprintf(text, sizeof text, "task %d", task);
    announce_inside();
    wait_until_inside(2); /* the first task stays inside until the second has entered */
    _TAVO_leaveFunction((const void *)(uintptr_t)describe, __builtin_frame_address(0));
    return text;
}

static void *run_task(void *argument) {
    const int task = (int)(intptr_t)argument;
    _TAVO_enterGenericTask(3, (uint64_t)task);
    if (task == 2) wait_until_inside(1); /* enter second, while the first task is inside */
    describe(task);
    _TAVO_leaveGenericTask(3, (uint64_t)task);
    return NULL;
}

void __tavo_switch_to_debugger(void) {
    if (__tavo_event_reason == TAVO_EVENT_LOADED) __tavo_config.flags |= TAVO_FLAG_RE;
    if (__tavo_event_reason != TAVO_EVENT_REENTRANT_CALL) return;
    const tavo_reentrancy_detection_t *detection = &__tavo_current_detection.reentrancy;
    printf("debugger: reentrant call of 0x%llx from 0x%llx by", (unsigned long long)detection->function,
           (unsigned long long)detection->site);
    for (uint64_t index = 0; index < detection->offense_count; ++index)
        printf(" (%u.%llu)", detection->offenses[index].task_type,
               (unsigned long long)detection->offenses[index].task_id);
    printf("\n");
    fflush(stdout);
}

int main(void) {
    printf("describe is at 0x%llx\n", (unsigned long long)(uintptr_t)describe);
    fflush(stdout);
    pthread_t threads[2];
    for (int task = 1; task <= 2; ++task) pthread_create(&threads[task - 1], NULL, run_task, (void *)(intptr_t)task);
    for (int task = 1; task <= 2; ++task) pthread_join(threads[task - 1], NULL);
    return 0;
}
