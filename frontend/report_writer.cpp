#include "frontend/report_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/memory.h"

#if defined(_WIN32)
#define O_CLOEXEC O_NOINHERIT
#endif

namespace tavo::frontend {

void report_writer_t::append(const char* text, std::size_t length) noexcept {
    if (capacity_ - used_ < length + 1) {
        std::size_t capacity = capacity_ == 0 ? 65536 : capacity_;
        while (capacity - used_ < length + 1) capacity *= 2;
        // The library's heap: the program's allocator is watched, and may be what is broken.
        char* grown = static_cast<char*>(heap_allocate(capacity));
        if (grown == nullptr) return;  // the report loses this text, not the program its memory
        if (used_ != 0) std::memcpy(grown, buffer_, used_);
        if (buffer_ != nullptr) heap_free(buffer_, capacity_);
        buffer_ = grown;
        capacity_ = capacity;
    }
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
}

void report_writer_t::print(const char* format, ...) noexcept {
    char small[1024];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    if (static_cast<std::size_t>(length) < sizeof small) return append(small, static_cast<std::size_t>(length));
    char* large = static_cast<char*>(heap_allocate(static_cast<std::size_t>(length) + 1));
    if (large == nullptr) return;
    va_start(arguments, format);
    std::vsnprintf(large, static_cast<std::size_t>(length) + 1, format, arguments);
    va_end(arguments);
    append(large, static_cast<std::size_t>(length));
    heap_free(large, static_cast<std::size_t>(length) + 1);
}

void report_writer_t::json_string(const char* text) noexcept {
    if (text == nullptr) return append("null", 4);
    append("\"", 1);
    for (const char* run = text; *text != '\0'; run = ++text) {
        while (*text != '\0' && *text != '"' && *text != '\\' && static_cast<unsigned char>(*text) >= 0x20) ++text;
        append(run, static_cast<std::size_t>(text - run));
        if (*text == '\0') break;
        if (*text == '"' || *text == '\\') {
            const char escaped[2] = {'\\', *text};
            append(escaped, 2);
        } else {
            print("\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(*text)));
        }
    }
    append("\"", 1);
}

void report_writer_t::file_uri(const char* path) noexcept {
    append("\"file://", 8);
    for (const char* byte = path; *byte != '\0'; ++byte) {
        const unsigned char c = static_cast<unsigned char>(*byte);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || std::strchr("/-._~+", c) != nullptr)
            append(byte, 1);
        else
            print("%%%02X", c);
    }
    append("\"", 1);
}

int report_writer_t::descriptor() noexcept {
    if (!to_file()) return 2;
    const int pid = static_cast<int>(getpid());
    if (file_ >= 0 && file_pid_ == pid) return file_;
    if (file_ >= 0) close(file_);
    char path[1100];
    std::snprintf(path, sizeof path, "%s.%d", prefix_, pid);
    file_ = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_APPEND, 0644);
    file_pid_ = pid;
    if (file_ < 0) {
        std::fprintf(stderr, "tavo: cannot open '%s' for the reports; writing them to stderr\n", path);
        prefix_ = nullptr;
        return 2;
    }
    return file_;
}

const char* report_writer_t::text() noexcept {
    append("", 1);
    if (used_ == 0) return "";
    --used_;
    return buffer_;
}

void report_writer_t::flush() noexcept {
    const int target = used_ != 0 ? descriptor() : -1;
    for (std::size_t done = 0; done < used_;) {
        const ssize_t written = write(target, buffer_ + done, used_ - done);
        if (written <= 0) break;
        done += static_cast<std::size_t>(written);
    }
    used_ = 0;
}

}  // namespace tavo::frontend
