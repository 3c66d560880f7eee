// What the front end asks of the operating system beyond the runtime's platform layer, one file
// per host (host_linux.cpp, host_windows.cpp); the thread's stack range is declared in threads.h.
#pragma once

namespace tavo::frontend {

// Whether a debugger is attached to the process now.
bool debugger_attached() noexcept;
// Whether the library's stop is worth making now: on Windows it raises an exception, which
// nobody but a debugger wants, and whose dispatch waits for the loader's lock, which a thread
// that is ending holds while it waits for the runtime's.
bool stop_wanted() noexcept;
// Return addresses of the calling thread's stack, innermost first; how many were stored.
int unwind_stack(void** pcs, int capacity) noexcept;
// The system's id of the calling thread.
int system_thread_id() noexcept;
// One question to the symbolizer's process, started on first use and again when it died: the
// answer, up to and with its empty line, valid until the next question; null when there is none.
char* ask_symbolizer(const char* path, const char* request) noexcept;

}  // namespace tavo::frontend
