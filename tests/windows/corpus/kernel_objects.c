// tavo: racy
// tavo-fixed
// Events, semaphores and kernel mutexes order a wait after the signal it saw: SetEvent,
// ReleaseSemaphore and ReleaseMutex release, a satisfied WaitForSingleObject or
// WaitForMultipleObjects acquires. Without FIXED the handoffs go through a relaxed flag instead.
#include <stdio.h>
#include <windows.h>

static HANDLE event, semaphore, mutex;
static int by_event, by_semaphore, by_mutex;
static volatile LONG done;

static DWORD WINAPI producer(void* argument) {
    (void)argument;
    by_event = 1;      // race
    by_semaphore = 2;  // race
#ifdef FIXED
    SetEvent(event);
    ReleaseSemaphore(semaphore, 1, NULL);
#endif
    WaitForSingleObject(mutex, INFINITE);
    by_mutex = 3;
    ReleaseMutex(mutex);
    __atomic_store_n(&done, 1, __ATOMIC_RELAXED);
    return 0;
}

int main(void) {
    event = CreateEventA(NULL, FALSE, FALSE, NULL);
    semaphore = CreateSemaphoreA(NULL, 0, 1, NULL);
    mutex = CreateMutexA(NULL, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, producer, NULL, 0, NULL);
#ifdef FIXED
    HANDLE both[2] = {event, semaphore};
    WaitForMultipleObjects(2, both, TRUE, INFINITE);
#else
    while (!__atomic_load_n(&done, __ATOMIC_RELAXED)) Sleep(0);
#endif
    const int seen = by_event + by_semaphore;  // race
    WaitForSingleObject(mutex, INFINITE);
    const int locked = by_mutex;
    ReleaseMutex(mutex);
    WaitForSingleObject(thread, INFINITE);
    printf("%d %d\n", seen, locked);
    return 0;
}
