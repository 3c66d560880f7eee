// One report built up in memory and written to its destination in one write: stderr, or the file
// PREFIX.PID of log_path (opened again after a fork, as the process id changes).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// mingw's C library formats as C99 says only through its own printf (__USE_MINGW_ANSI_STDIO).
#if defined(_WIN32)
#define TAVO_PRINTF gnu_printf
#else
#define TAVO_PRINTF printf
#endif

namespace tavo::frontend {

class report_writer_t {
public:
    void set_log_path(const char* prefix) noexcept { prefix_ = prefix; }
    bool to_file() const noexcept { return prefix_ != nullptr && prefix_[0] != '\0'; }

    __attribute__((format(TAVO_PRINTF, 2, 3))) void print(const char* format, ...) noexcept;
    // A JSON string, quoted and escaped; null as null.
    void json_string(const char* text) noexcept;
    // A file URI for an absolute path, percent-encoded.
    void file_uri(const char* path) noexcept;
    // Writes what was printed and starts anew.
    void flush() noexcept;
    // What was printed, as a string kept until the next print; and starting anew without writing.
    const char* text() noexcept;
    void clear() noexcept { used_ = 0; }

private:
    void append(const char* text, std::size_t length) noexcept;
    int descriptor() noexcept;

    const char* prefix_ = nullptr;
    int file_ = -1;
    int file_pid_ = 0;
    char* buffer_ = nullptr;
    std::size_t used_ = 0, capacity_ = 0;
};

}  // namespace tavo::frontend
