// tavo: racy
// tavo-reports: 1
// tavo-expect: by thread T3
// tavo-fixed
// Messages and timers. The main thread fills blocks and sends pointers to them through a POSIX
// message queue that a worker opened by name for itself: each message orders the block's filling
// before the worker's reads. A SIGEV_THREAD notification's function runs on a thread that the C
// library starts by itself: a message that arrives on a second queue orders what the main thread
// wrote before sending it; what it wrote before it armed a timer is ordered before the timer's
// function; what the function writes is ordered before the main thread's read only when the
// function posts a semaphore that the main thread waits on. A sleep orders nothing.
#define _GNU_SOURCE
#include <fcntl.h>
#include <mqueue.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static int before, fired, sent, noted;
static long sum;
static char names[2][32];  // per process: the gcc and clang builds run at once
static sem_t posted;

static void note(union sigval value) {
    noted = sent + *(int*)value.sival_ptr;
    sem_post(&posted);
}

static void tick(union sigval value) {
    (void)value;
    fired = before + 1;  // race
    sem_post(&posted);
}

static void* receive(void* argument) {
    const mqd_t queue = mq_open(names[0], O_RDONLY);
    for (int* block = NULL; queue != (mqd_t)-1 && mq_receive(queue, (char*)&block, sizeof block, NULL) == sizeof block;) {
        if (block == NULL) break;
        sum += block[0] + block[1];
        free(block);
    }
    mq_close(queue);
    return argument;
}

int main(void) {
    struct mq_attr attributes = {.mq_maxmsg = 4, .mq_msgsize = sizeof(int*)};
    for (int index = 0; index < 2; ++index) snprintf(names[index], sizeof names[index], "/tavo-queue-%d-%d", (int)getpid(), index);
    const mqd_t queue = mq_open(names[0], O_CREAT | O_WRONLY, 0600, &attributes);
    if (queue == (mqd_t)-1) return 2;
    pthread_t worker;
    pthread_create(&worker, NULL, receive, NULL);
    sem_init(&posted, 0, 0);
    const mqd_t notifying = mq_open(names[1], O_CREAT | O_RDWR, 0600, &attributes);
    int one = 1;
    struct sigevent message_event = {.sigev_notify = SIGEV_THREAD, .sigev_notify_function = note,
                                     .sigev_value.sival_ptr = &one};
    if (notifying == (mqd_t)-1 || mq_notify(notifying, &message_event) != 0) return 2;
    sent = 1;
    mq_send(notifying, (const char*)&queue, sizeof queue, 0);
    sem_wait(&posted);
    mq_close(notifying);
    mq_unlink(names[1]);
    struct sigevent event = {.sigev_notify = SIGEV_THREAD, .sigev_notify_function = tick};
    timer_t timer;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return 2;
    before = 41;
    const struct itimerspec once = {.it_value = {.tv_nsec = 1000000}};
    timer_settime(timer, 0, &once, NULL);
    for (int index = 0; index <= 50; ++index) {
        int* block = index < 50 ? malloc(2 * sizeof(int)) : NULL;
        if (block != NULL) block[0] = index, block[1] = 1;
        mq_send(queue, (const char*)&block, sizeof block, 0);
    }
#ifdef FIXED
    sem_wait(&posted);
#else
    usleep(200000);
#endif
    const int result = fired;  // race
    pthread_join(worker, NULL);
    mq_close(queue);
    mq_unlink(names[0]);
    timer_delete(timer);
    return result == 42 && noted == 2 && sum == 50 * 49 / 2 + 50 ? 0 : 1;
}
