// tavo: racy
// tavo-fixed
// Slim reader-writer locks: exclusive sections order each other, shared ones do not. The writers
// here update under a shared lock (a mistake) unless FIXED takes it exclusively, and then a
// reader reads under a shared lock, ordered with each writer.
#include <stdio.h>
#include <windows.h>

static SRWLOCK lock = SRWLOCK_INIT;
static long total;

static DWORD WINAPI writer(void* argument) {
    (void)argument;
    for (int round = 0; round < 50; ++round) {
#ifdef FIXED
        AcquireSRWLockExclusive(&lock);
        ++total;
        ReleaseSRWLockExclusive(&lock);
#else
        AcquireSRWLockShared(&lock);
        ++total;  // race
        ReleaseSRWLockShared(&lock);
#endif
    }
    return 0;
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

int main(void) {
    long seen = 0;
    HANDLE threads[3] = {CreateThread(NULL, 0, writer, NULL, 0, NULL), CreateThread(NULL, 0, writer, NULL, 0, NULL)};
    DWORD count = 2;
#ifdef FIXED
    threads[count++] = CreateThread(NULL, 0, reader, &seen, 0, NULL);
#endif
    WaitForMultipleObjects(count, threads, TRUE, INFINITE);
    printf("%ld %ld\n", total, seen);
    return 0;
}
