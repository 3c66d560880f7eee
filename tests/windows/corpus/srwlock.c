// tavo: racy
// Slim reader-writer locks: exclusive sections order each other, shared ones do not. The writers
// here update under a shared lock (a mistake) unless TAVO_FIXED takes it exclusively; a reader reads
// under a shared lock either way, which orders it with the writers only when they are exclusive.
#include <stdio.h>
#include <windows.h>

static SRWLOCK lock = SRWLOCK_INIT;
static long total;

static DWORD WINAPI writer(void* argument) {
    (void)argument;
    for (int round = 0; round < 50; ++round) {
#ifdef TAVO_FIXED
        AcquireSRWLockExclusive(&lock);
        ++total;  // race
        ReleaseSRWLockExclusive(&lock);
#else
        AcquireSRWLockShared(&lock);
        ++total;  // race
        ReleaseSRWLockShared(&lock);
#endif
    }
    return 0;
}

static DWORD WINAPI reader(void* argument) {
    long* seen = argument;
    AcquireSRWLockShared(&lock);
    *seen = total;  // race
    ReleaseSRWLockShared(&lock);
    return 0;
}

int main(void) {
    long seen = 0;
    HANDLE threads[3] = {CreateThread(NULL, 0, writer, NULL, 0, NULL), CreateThread(NULL, 0, writer, NULL, 0, NULL),
                         CreateThread(NULL, 0, reader, &seen, 0, NULL)};
    WaitForMultipleObjects(3, threads, TRUE, INFINITE);
    printf("%ld %ld\n", total, seen);
    return 0;
}
