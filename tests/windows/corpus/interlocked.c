// tavo: racy
// tavo-fixed
// Interlocked operations are atomics: a counter updated with InterlockedIncrement by all threads
// is no race, and a flag set with InterlockedCompareExchange publishes what was written before.
// Without FIXED one thread increments with a plain ++ and the flag is read plainly.
#include <stdio.h>
#include <windows.h>

static volatile LONG counter, flag;
static int payload;

static DWORD WINAPI worker(void* argument) {
    (void)argument;
    // Reported too, at the inlined InterlockedIncrement of the system's header.
    for (int round = 0; round < 100; ++round) InterlockedIncrement(&counter);
    payload = 5;
    InterlockedCompareExchange(&flag, 1, 0);
    return 0;
}

static DWORD WINAPI other(void* argument) {
    (void)argument;
    for (int round = 0; round < 100; ++round) {
#ifdef FIXED
        InterlockedIncrement(&counter);
#else
        ++counter;  // race
#endif
    }
    return 0;
}

int main(void) {
    HANDLE threads[2] = {CreateThread(NULL, 0, worker, NULL, 0, NULL), CreateThread(NULL, 0, other, NULL, 0, NULL)};
    while (InterlockedCompareExchange(&flag, 1, 1) != 1) Sleep(0);
    const int seen = payload;
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    printf("%d %ld\n", seen, counter);
    return 0;
}
