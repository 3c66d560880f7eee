// tavo: racy
// tavo-fixed
// tavo-expect: #0 other /
// tavo-expect: #0 build /
// tavo-expect: #0 writer /
// tavo-expect: #0 producer /
// tavo-expect: #0 signaller /
// tavo-expect: #0 block_writer /
// Win32 synchronisation, each part racy as written and ordered with FIXED. Interlocked operations
// are atomics: a counter updated with InterlockedIncrement by all threads is no race, and a flag set
// with InterlockedCompareExchange publishes what was written before; racy, one thread increments
// with a plain ++. A table built once by whichever thread comes first: InitOnceExecuteOnce orders
// the build before every caller's use; racy, each thread builds it unguarded. Slim reader-writer
// locks: exclusive sections order each other, shared ones do not; racy, the writers update under
// a shared lock; fixed, they take it exclusively, and then a reader reads under a shared lock,
// ordered with each writer. A value handed over through a CONDITION_VARIABLE, with a critical
// section and with a slim lock; racy, the consumer does not wait and reads the value early.
// Threads and kernel objects: CreateThread and _beginthreadex order what the creator wrote
// before; a thread's end, SetEvent, ReleaseSemaphore and ReleaseMutex release, and a satisfied
// WaitForSingleObject or WaitForMultipleObjects acquires; racy, the main thread reads what the
// threads wrote after a relaxed flag instead of the waits. Heap blocks live from allocation to
// free: a free is a write of the whole block, so freeing a block another thread still uses
// unordered is reported, and a new block at a freed one's address carries none of its history;
// racy, the main thread frees the worker's block before waiting for it.
#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "../../frontend/corpus/rendezvous.h"

static volatile LONG counter, flag, signalled, taken;
static int payload, table[8], value_cs, value_srw, posted_cs, posted_srw, input, by_event, by_semaphore, by_mutex, by_thread;
static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
static SRWLOCK lock = SRWLOCK_INIT, handover = SRWLOCK_INIT;
static long total;
static CRITICAL_SECTION section;
static CONDITION_VARIABLE ready_cs, ready_srw;
static HANDLE event, semaphore, mutex;

static DWORD WINAPI worker(void* argument) {
    // Reported too, at the inlined InterlockedIncrement of the system's header.
    for (int round = 0; round < 100; ++round) InterlockedIncrement(&counter);
    payload = 5;
    InterlockedCompareExchange(&flag, 1, 0);
    return argument != NULL;
}

static DWORD WINAPI other(void* argument) {
    for (int round = 0; round < 100; ++round) {
        RACY_OR_FIXED(++counter, InterlockedIncrement(&counter));  // race
    }
    return argument != NULL;
}

static BOOL CALLBACK build(INIT_ONCE* guard, void* parameter, void** context) {
    (void)guard, (void)parameter, (void)context;
    for (int index = 0; index < 8; ++index) table[index] = index * index;  // race
    return TRUE;
}

static DWORD WINAPI user(void* argument) {
    int* sum = argument;
    RACY_OR_FIXED(build(&once, NULL, NULL), InitOnceExecuteOnce(&once, build, NULL, NULL));
    for (int index = 0; index < 8; ++index) *sum += table[index];  // race
    return 0;
}

static DWORD WINAPI writer(void* argument) {
    for (int round = 0; round < 50; ++round) {
        RACY_OR_FIXED(AcquireSRWLockShared, AcquireSRWLockExclusive)(&lock);
        ++total;  // race
        RACY_OR_FIXED(ReleaseSRWLockShared, ReleaseSRWLockExclusive)(&lock);
    }
    return argument != NULL;
}

#ifdef FIXED
static DWORD WINAPI reader(void* argument) {
    long* seen = argument;
    AcquireSRWLockShared(&lock);
    *seen = total;
    ReleaseSRWLockShared(&lock);
    return 0;
}
#endif

static DWORD WINAPI producer(void* argument) {
    value_cs = 42;  // race
    EnterCriticalSection(&section);
    posted_cs = 1;
    LeaveCriticalSection(&section);
    WakeConditionVariable(&ready_cs);
    value_srw = 7;  // race
    AcquireSRWLockExclusive(&handover);
    posted_srw = 1;
    ReleaseSRWLockExclusive(&handover);
    WakeAllConditionVariable(&ready_srw);
    return argument != NULL;
}

static DWORD WINAPI signaller(void* argument) {
    by_event = input;  // race
    by_semaphore = 2;  // race
    ONLY_FIXED(SetEvent(event));
    ONLY_FIXED(ReleaseSemaphore(semaphore, 1, NULL));
    WaitForSingleObject(mutex, INFINITE);
    by_mutex = 3;
    ReleaseMutex(mutex);
    __atomic_store_n(&signalled, 1, __ATOMIC_RELAXED);
    // Alive until the main thread has read: a race with threads that have all ended is missed
    // while no thread runs beside the main one (a known limit).
    while (!__atomic_load_n(&taken, __ATOMIC_RELAXED)) Sleep(0);
    return argument != NULL;
}

static unsigned __stdcall started(void* argument) {
    by_thread = input + 1;  // race
    return argument != NULL;
}

static DWORD WINAPI block_writer(void* argument) {
    ((int*)argument)[0] = 1;  // race
    return 0;
}

static HANDLE start(LPTHREAD_START_ROUTINE routine, void* argument) { return CreateThread(NULL, 0, routine, argument, 0, NULL); }

int main(void) {
    HANDLE threads[3] = {start(worker, NULL), start(other, NULL)};
    while (InterlockedCompareExchange(&flag, 1, 1) != 1) Sleep(0);
    const int seen = payload;
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);

    int sums[2] = {0, 0};
    threads[0] = start(user, &sums[0]), threads[1] = start(user, &sums[1]);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);

    long read = 0;
    threads[0] = start(writer, NULL), threads[1] = start(writer, NULL);
    DWORD count = 2;
    ONLY_FIXED(threads[count++] = start(reader, &read));
    WaitForMultipleObjects(count, threads, TRUE, INFINITE);

    InitializeCriticalSection(&section);
    InitializeConditionVariable(&ready_cs);
    InitializeConditionVariable(&ready_srw);
    threads[0] = start(producer, NULL);
    ONLY_FIXED(EnterCriticalSection(&section));
    ONLY_FIXED(while (!posted_cs) SleepConditionVariableCS(&ready_cs, &section, INFINITE));
    ONLY_FIXED(LeaveCriticalSection(&section));
    ONLY_FIXED(AcquireSRWLockShared(&handover));
    ONLY_FIXED(while (!posted_srw) SleepConditionVariableSRW(&ready_srw, &handover, INFINITE, CONDITION_VARIABLE_LOCKMODE_SHARED));
    ONLY_FIXED(ReleaseSRWLockShared(&handover));
    const int sum = value_cs + value_srw;  // race
    WaitForSingleObject(threads[0], INFINITE);
    input = 1;
    event = CreateEventA(NULL, FALSE, FALSE, NULL);
    semaphore = CreateSemaphoreA(NULL, 0, 1, NULL);
    mutex = CreateMutexA(NULL, FALSE, NULL);
    threads[0] = start(signaller, NULL), threads[1] = (HANDLE)_beginthreadex(NULL, 0, started, NULL, 0, NULL);
    ONLY_FIXED(WaitForMultipleObjects(2, (HANDLE[]){event, semaphore}, TRUE, INFINITE));
    ONLY_FIXED(WaitForSingleObject(threads[1], INFINITE));
    ONLY_RACY(while (!__atomic_load_n(&signalled, __ATOMIC_RELAXED)) Sleep(0));
    const int by_all = by_event + by_semaphore + by_thread;  // race
    __atomic_store_n(&taken, 1, __ATOMIC_RELAXED);
    WaitForSingleObject(mutex, INFINITE);
    const int locked = by_mutex;
    ReleaseMutex(mutex);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);

    // Reuse: blocks written by one thread, freed, and allocated again by another.
    for (int round = 0; round < 4; ++round) {
        int* block = malloc(64);
        WaitForSingleObject(start(block_writer, block), INFINITE);
        free(block);
        void* mapped = VirtualAlloc(NULL, 65536, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        WaitForSingleObject(start(block_writer, mapped), INFINITE);
        VirtualFree(mapped, 0, MEM_RELEASE);
    }
    int* block = HeapAlloc(GetProcessHeap(), 0, 64);
    threads[0] = start(block_writer, block);
    RACY_OR_FIXED(Sleep(50), WaitForSingleObject(threads[0], INFINITE));
    HeapFree(GetProcessHeap(), 0, block);  // race
    WaitForSingleObject(threads[0], INFINITE);
    printf("%d %ld %d %d %ld %ld %d %d %d\n", seen, counter, sums[0], sums[1], total, read, sum, by_all, locked);
    return 0;
}
