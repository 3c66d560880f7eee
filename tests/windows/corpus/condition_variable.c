// tavo: racy
// tavo-fixed
// A value handed over through a CONDITION_VARIABLE, with a critical section and with a slim
// lock; without FIXED the consumer does not wait and reads the value early.
#include <stdio.h>
#include <windows.h>

static CRITICAL_SECTION section;
static SRWLOCK lock = SRWLOCK_INIT;
static CONDITION_VARIABLE ready_cs, ready_srw;
static int value_cs, value_srw, posted_cs, posted_srw;

static DWORD WINAPI producer(void* argument) {
    (void)argument;
    value_cs = 42;  // race
    EnterCriticalSection(&section);
    posted_cs = 1;
    LeaveCriticalSection(&section);
    WakeConditionVariable(&ready_cs);
    value_srw = 7;  // race
    AcquireSRWLockExclusive(&lock);
    posted_srw = 1;
    ReleaseSRWLockExclusive(&lock);
    WakeAllConditionVariable(&ready_srw);
    return 0;
}

int main(void) {
    InitializeCriticalSection(&section);
    InitializeConditionVariable(&ready_cs);
    InitializeConditionVariable(&ready_srw);
    HANDLE thread = CreateThread(NULL, 0, producer, NULL, 0, NULL);
#ifdef FIXED
    EnterCriticalSection(&section);
    while (!posted_cs) SleepConditionVariableCS(&ready_cs, &section, INFINITE);
    LeaveCriticalSection(&section);
    AcquireSRWLockShared(&lock);
    while (!posted_srw) SleepConditionVariableSRW(&ready_srw, &lock, INFINITE, CONDITION_VARIABLE_LOCKMODE_SHARED);
    ReleaseSRWLockShared(&lock);
#endif
    const int sum = value_cs + value_srw;  // race
    WaitForSingleObject(thread, INFINITE);
    printf("%d\n", sum);
    return 0;
}
