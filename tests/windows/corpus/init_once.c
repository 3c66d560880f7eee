// tavo: racy
// tavo-fixed
// A table built once by whichever thread comes first: InitOnceExecuteOnce orders the build
// before every caller's use. Without FIXED each thread builds it unguarded.
#include <stdio.h>
#include <windows.h>

static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
static int table[8];

static BOOL CALLBACK build(INIT_ONCE* guard, void* parameter, void** context) {
    (void)guard, (void)parameter, (void)context;
    for (int index = 0; index < 8; ++index) table[index] = index * index;  // race
    return TRUE;
}

static DWORD WINAPI user(void* argument) {
    int* sum = argument;
#ifdef FIXED
    InitOnceExecuteOnce(&once, build, NULL, NULL);
#else
    build(&once, NULL, NULL);
#endif
    for (int index = 0; index < 8; ++index) *sum += table[index];  // race
    return 0;
}

int main(void) {
    int sums[2] = {0, 0};
    HANDLE threads[2] = {CreateThread(NULL, 0, user, &sums[0], 0, NULL), CreateThread(NULL, 0, user, &sums[1], 0, NULL)};
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    printf("%d %d\n", sums[0], sums[1]);
    return 0;
}
