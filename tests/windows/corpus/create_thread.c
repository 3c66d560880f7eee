// tavo: racy
// tavo-fixed
// CreateThread and _beginthreadex fork: what the creator wrote before is ordered before the new
// thread. Waiting for a thread's handle joins it; FIXED waits before reading what they wrote.
#include <process.h>
#include <stdio.h>
#include <windows.h>

static int input = 1, first_result, second_result;

static DWORD WINAPI first(void* argument) {
    (void)argument;
    first_result = input + 1;  // race
    return 0;
}
static unsigned __stdcall second(void* argument) {
    (void)argument;
    second_result = input + 2;  // race
    return 0;
}

int main(void) {
    HANDLE threads[2];
    threads[0] = CreateThread(NULL, 0, first, NULL, 0, NULL);
    threads[1] = (HANDLE)_beginthreadex(NULL, 0, second, NULL, 0, NULL);
#ifdef FIXED
    WaitForSingleObject(threads[0], INFINITE);
    WaitForSingleObject(threads[1], INFINITE);
#endif
    const int sum = first_result + second_result;  // race
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    printf("%d\n", sum);
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
    return 0;
}
