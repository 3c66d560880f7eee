// The few POSIX calls that the unit and scenario tests make, for their Windows build, where this
// header is included ahead of every test source.
#pragma once

#ifdef __cplusplus
#include <cstddef>
#include <cstdio>
#include <io.h>
#include <sys/types.h>

// Declared alone: <windows.h> would bring its macros into every test.
extern "C" __declspec(dllimport) unsigned long __stdcall GetCurrentThreadId(void);

// The identifier that the library's log lines show for the calling thread.
inline unsigned long gettid() { return GetCurrentThreadId(); }

inline ssize_t pread(int file, void* buffer, std::size_t count, long long offset) {
    if (_lseeki64(file, offset, SEEK_SET) < 0) return -1;
    return _read(file, buffer, static_cast<unsigned>(count));
}
#endif
