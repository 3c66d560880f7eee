// tavo: racy
// tavo-fixed
// Threads and kernel objects: CreateThread and _beginthreadex order what the creator wrote
// before; a thread's end, SetEvent, ReleaseSemaphore and ReleaseMutex release, and a satisfied
// WaitForSingleObject or WaitForMultipleObjects acquires. Without FIXED the main thread reads
// what the threads wrote after a relaxed flag instead of the waits.
#include <process.h>
#include <stdio.h>
#include <windows.h>

#include "../../frontend/corpus/rendezvous.h"

static HANDLE event, semaphore, mutex;
static int input, by_event, by_semaphore, by_mutex, by_thread;
static volatile LONG done, read;

static DWORD WINAPI producer(void* argument) {
    (void)argument;
    by_event = input;  // race
    by_semaphore = 2;  // race
    ONLY_FIXED(SetEvent(event));
    ONLY_FIXED(ReleaseSemaphore(semaphore, 1, NULL));
    WaitForSingleObject(mutex, INFINITE);
    by_mutex = 3;
    ReleaseMutex(mutex);
    __atomic_store_n(&done, 1, __ATOMIC_RELAXED);
    // Alive until the main thread has read: a race with threads that have all ended is missed
    // while no thread runs beside the main one (a known limit).
    while (!__atomic_load_n(&read, __ATOMIC_RELAXED)) Sleep(0);
    return 0;
}

static unsigned __stdcall started(void* argument) {
    (void)argument;
    by_thread = input + 1;  // race
    return 0;
}

int main(void) {
    input = 1;
    event = CreateEventA(NULL, FALSE, FALSE, NULL);
    semaphore = CreateSemaphoreA(NULL, 0, 1, NULL);
    mutex = CreateMutexA(NULL, FALSE, NULL);
    HANDLE threads[2] = {CreateThread(NULL, 0, producer, NULL, 0, NULL), (HANDLE)_beginthreadex(NULL, 0, started, NULL, 0, NULL)};
#ifdef FIXED
    HANDLE both[2] = {event, semaphore};
    WaitForMultipleObjects(2, both, TRUE, INFINITE);
    WaitForSingleObject(threads[1], INFINITE);
#else
    while (!__atomic_load_n(&done, __ATOMIC_RELAXED)) Sleep(0);
#endif
    const int seen = by_event + by_semaphore + by_thread;  // race
    __atomic_store_n(&read, 1, __ATOMIC_RELAXED);
    WaitForSingleObject(mutex, INFINITE);
    const int locked = by_mutex;
    ReleaseMutex(mutex);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    printf("%d %d\n", seen, locked);
    return 0;
}
