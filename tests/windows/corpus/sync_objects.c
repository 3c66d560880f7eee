// tavo: racy
// tavo-fixed
// tavo-expect: #0 other /
// tavo-expect: #0 build /
// tavo-expect: #0 writer /
// tavo-expect: #0 producer /
// Win32 synchronisation, each part racy as written and ordered with FIXED. Interlocked operations
// are atomics: a counter updated with InterlockedIncrement by all threads is no race, and a flag set
// with InterlockedCompareExchange publishes what was written before; racy, one thread increments
// with a plain ++. A table built once by whichever thread comes first: InitOnceExecuteOnce orders
// the build before every caller's use; racy, each thread builds it unguarded. Slim reader-writer
// locks: exclusive sections order each other, shared ones do not; racy, the writers update under
// a shared lock; fixed, they take it exclusively, and then a reader reads under a shared lock,
// ordered with each writer. A value handed over through a CONDITION_VARIABLE, with a critical
// section and with a slim lock; racy, the consumer does not wait and reads the value early.
#include <stdio.h>
#include <windows.h>

#include "../../frontend/corpus/rendezvous.h"

static volatile LONG counter, flag;
static int payload, table[8];
static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
static SRWLOCK lock = SRWLOCK_INIT, handover = SRWLOCK_INIT;
static long total;
static CRITICAL_SECTION section;
static CONDITION_VARIABLE ready_cs, ready_srw;
static int value_cs, value_srw, posted_cs, posted_srw;

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
    printf("%d %ld %d %d %ld %ld %d\n", seen, counter, sums[0], sums[1], total, read, sum);
    return 0;
}
