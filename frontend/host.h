// What the front end asks of the operating system beyond the runtime's platform layer, one file
// per host (host_linux.cpp, host_windows.cpp); the thread's stack range is declared in threads.h.
#pragma once

#include <cstddef>

namespace tavo::frontend {

// Whether a debugger that drives the library (gdb, on Linux) is attached to the process now.
bool debugger_attached() noexcept;
// Whether the library's stop is worth making now: on Windows it raises an exception, which
// nobody but a debugger wants, and whose dispatch waits for the loader's lock, which a thread
// that is ending holds while it waits for the runtime's.
bool stop_wanted() noexcept;
// Return addresses of the calling thread's stack, innermost first; how many were stored.
int unwind_stack(void** pcs, int capacity) noexcept;
// The system's id of the calling thread.
int system_thread_id() noexcept;
// The symbolizer's process (symbolizer.cpp asks it): started unless it runs (false when it cannot
// be), sent a request, read into `buffer` up to `room` bytes (how many, waiting at most 10 s; 0 or
// less when none came), stopped.
bool symbolizer_start(const char* path) noexcept;
bool symbolizer_send(const char* request) noexcept;
long symbolizer_receive(char* buffer, std::size_t room) noexcept;
void symbolizer_stop() noexcept;
}  // namespace tavo::frontend
