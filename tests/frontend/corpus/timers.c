// tavo: racy
// tavo-reports: 1
// tavo-expect: by thread T2
// tavo-fixed
// A SIGEV_THREAD timer's function runs on a thread that the C library starts by itself. What the
// main thread wrote before it armed the timer is ordered before the function; what the function
// writes is ordered before the main thread's read only when the function posts a semaphore that
// the main thread waits on. A sleep orders nothing. Another thread waits meanwhile, so that
// checking is on from the start.
#define _GNU_SOURCE
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

static int before, fired;
static sem_t posted, stop;

static void tick(union sigval value) {
    (void)value;
    fired = before + 1;  // race
    sem_post(&posted);
}

static void* wait_for_stop(void* argument) {
    sem_wait(&stop);
    return argument;
}

int main(void) {
    pthread_t waiter;
    sem_init(&posted, 0, 0);
    sem_init(&stop, 0, 0);
    pthread_create(&waiter, NULL, wait_for_stop, NULL);
    struct sigevent event = {.sigev_notify = SIGEV_THREAD, .sigev_notify_function = tick};
    timer_t timer;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return 2;
    before = 41;
    const struct itimerspec once = {.it_value = {.tv_nsec = 1000000}};
    timer_settime(timer, 0, &once, NULL);
#ifdef FIXED
    sem_wait(&posted);
#else
    usleep(200000);
#endif
    const int result = fired;  // race
    sem_post(&stop);
    pthread_join(waiter, NULL);
    timer_delete(timer);
    return result == 42 ? 0 : 1;
}
