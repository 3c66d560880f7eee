// tavo: racy
// tavo-fixed
// A counter under a CRITICAL_SECTION; without FIXED one of the threads updates it bare.
#include <stdio.h>
#include <windows.h>

#include "../../frontend/corpus/rendezvous.h"

static CRITICAL_SECTION section;
static long counter;

static DWORD WINAPI locked(void* argument) {
    EnterCriticalSection(&section);
    ++counter;  // race
    LeaveCriticalSection(&section);
    return argument != NULL;
}

static DWORD WINAPI maybe_locked(void* argument) {
    ONLY_FIXED(while (!TryEnterCriticalSection(&section)) Sleep(0));
    ++counter;  // race
    ONLY_FIXED(LeaveCriticalSection(&section));
    return argument != NULL;
}

int main(void) {
    InitializeCriticalSection(&section);
    HANDLE threads[2] = {CreateThread(NULL, 0, locked, NULL, 0, NULL), CreateThread(NULL, 0, maybe_locked, NULL, 0, NULL)};
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    DeleteCriticalSection(&section);
    printf("%ld\n", counter);
    return 0;
}
