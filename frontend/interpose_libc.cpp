// Memory the C library reads and writes on the program's behalf: the bytes each call touches,
// as reads and writes at the program's call site.
//
// The wrapper links the program's instrumented objects with --wrap for these names, so only the
// program's own calls arrive here: the C library's and this library's calls go to the C library
// directly. Calls the compiler turns into inline code are instrumented as such.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdint>

#include "frontend/frontend.h"

using namespace tavo;
using namespace tavo::frontend;

#define TAVO_FRONT extern "C" __attribute__((visibility("default")))
#define CALLER site_of(__builtin_return_address(0))

extern "C" int __xpg_strerror_r(int error, char* buffer, std::size_t size);

namespace {

void reads(const void* address, std::size_t size, std::uint64_t site) { access(address, size, read_access, site); }
void writes(const void* address, std::size_t size, std::uint64_t site) { access(address, size, write_access, site); }
// A string and its terminator.
void reads_string(const char* string, std::uint64_t site) { reads(string, strlen(string) + 1, site); }

// Bytes a comparison reads: up to the first difference, or the terminator, or the limit.
template <class Same>
std::size_t compared(const char* left, const char* right, std::size_t limit, Same same) {
    std::size_t index = 0;
    while (index < limit && same(left[index], right[index]) && left[index] != '\0') ++index;
    return std::min(index + 1, limit);
}
bool equal(char left, char right) { return left == right; }
bool equal_ignoring_case(char left, char right) {
    return std::tolower(static_cast<unsigned char>(left)) == std::tolower(static_cast<unsigned char>(right));
}

void reads_compared(const char* left, const char* right, std::size_t length, std::uint64_t site) {
    reads(left, length, site);
    reads(right, length, site);
}

// A string of at most `limit` bytes, with its terminator when there is one within the limit.
std::size_t bounded_length(const char* string, std::size_t limit) { return std::min(strnlen(string, limit) + 1, limit); }

// Formatted output: the bytes written, the terminator included, within the buffer.
void formatted(char* buffer, std::size_t size, int produced, std::uint64_t site) {
    if (produced >= 0) writes(buffer, std::min(static_cast<std::size_t>(produced) + 1, size), site);
}

}  // namespace

TAVO_FRONT int __wrap_memcmp(const void* left, const void* right, std::size_t size) {
    const auto* a = static_cast<const unsigned char*>(left);
    const auto* b = static_cast<const unsigned char*>(right);
    std::size_t index = 0;
    while (index < size && a[index] == b[index]) ++index;
    const std::size_t length = std::min(index + 1, size);
    reads(left, length, CALLER);
    reads(right, length, CALLER);
    return index == size ? 0 : (a[index] < b[index] ? -1 : 1);
}
TAVO_FRONT int __wrap_bcmp(const void* left, const void* right, std::size_t size) {
    reads(left, size, CALLER);
    reads(right, size, CALLER);
    return memcmp(left, right, size) != 0;
}
TAVO_FRONT void* __wrap_memchr(const void* string, int value, std::size_t size) {
    void* found = const_cast<void*>(memchr(string, value, size));
    reads(string, found != nullptr ? static_cast<std::size_t>(static_cast<char*>(found) - static_cast<const char*>(string)) + 1 : size,
          CALLER);
    return found;
}
TAVO_FRONT void* __wrap_memrchr(const void* string, int value, std::size_t size) {
    void* found = const_cast<void*>(memrchr(string, value, size));
    if (found != nullptr) reads(found, size - static_cast<std::size_t>(static_cast<char*>(found) - static_cast<const char*>(string)), CALLER);
    else reads(string, size, CALLER);
    return found;
}

TAVO_FRONT std::size_t __wrap_strlen(const char* string) {
    const std::size_t length = strlen(string);
    reads(string, length + 1, CALLER);
    return length;
}
TAVO_FRONT std::size_t __wrap_strnlen(const char* string, std::size_t limit) {
    const std::size_t length = strnlen(string, limit);
    reads(string, std::min(length + 1, limit), CALLER);
    return length;
}

TAVO_FRONT int __wrap_strcmp(const char* left, const char* right) {
    reads_compared(left, right, compared(left, right, SIZE_MAX, equal), CALLER);
    return strcmp(left, right);
}
TAVO_FRONT int __wrap_strncmp(const char* left, const char* right, std::size_t limit) {
    reads_compared(left, right, compared(left, right, limit, equal), CALLER);
    return strncmp(left, right, limit);
}
TAVO_FRONT int __wrap_strcasecmp(const char* left, const char* right) {
    reads_compared(left, right, compared(left, right, SIZE_MAX, equal_ignoring_case), CALLER);
    return strcasecmp(left, right);
}
TAVO_FRONT int __wrap_strncasecmp(const char* left, const char* right, std::size_t limit) {
    reads_compared(left, right, compared(left, right, limit, equal_ignoring_case), CALLER);
    return strncasecmp(left, right, limit);
}

TAVO_FRONT char* __wrap_strcpy(char* target, const char* source) {
    const std::size_t size = strlen(source) + 1;
    reads(source, size, CALLER);
    writes(target, size, CALLER);
    return strcpy(target, source);
}
TAVO_FRONT char* __wrap_stpcpy(char* target, const char* source) {
    const std::size_t size = strlen(source) + 1;
    reads(source, size, CALLER);
    writes(target, size, CALLER);
    return stpcpy(target, source);
}
TAVO_FRONT char* __wrap_strncpy(char* target, const char* source, std::size_t limit) {
    reads(source, bounded_length(source, limit), CALLER);
    writes(target, limit, CALLER);
    return strncpy(target, source, limit);
}
TAVO_FRONT char* __wrap_strcat(char* target, const char* source) {
    const std::size_t start = strlen(target), size = strlen(source) + 1;
    reads(target, start, CALLER);
    reads(source, size, CALLER);
    writes(target + start, size, CALLER);
    return strcat(target, source);
}
TAVO_FRONT char* __wrap_strncat(char* target, const char* source, std::size_t limit) {
    const std::size_t start = strlen(target), length = strnlen(source, limit);
    reads(target, start, CALLER);
    reads(source, bounded_length(source, limit), CALLER);
    writes(target + start, length + 1, CALLER);
    return strncat(target, source, limit);
}

TAVO_FRONT char* __wrap_strchr(const char* string, int value) {
    char* found = const_cast<char*>(strchr(string, value));
    reads(string, found != nullptr ? static_cast<std::size_t>(found - string) + 1 : strlen(string) + 1, CALLER);
    return found;
}
TAVO_FRONT char* __wrap_strchrnul(const char* string, int value) {
    char* found = const_cast<char*>(strchrnul(string, value));
    reads(string, static_cast<std::size_t>(found - string) + 1, CALLER);
    return found;
}
TAVO_FRONT char* __wrap_strrchr(const char* string, int value) {
    reads_string(string, CALLER);
    return const_cast<char*>(strrchr(string, value));
}
TAVO_FRONT char* __wrap_strstr(const char* haystack, const char* needle) {
    reads_string(haystack, CALLER);
    reads_string(needle, CALLER);
    return const_cast<char*>(strstr(haystack, needle));
}
TAVO_FRONT char* __wrap_strcasestr(const char* haystack, const char* needle) {
    reads_string(haystack, CALLER);
    reads_string(needle, CALLER);
    return const_cast<char*>(strcasestr(haystack, needle));
}
TAVO_FRONT std::size_t __wrap_strspn(const char* string, const char* accepted) {
    const std::size_t length = strspn(string, accepted);
    reads(string, length + 1, CALLER);
    reads_string(accepted, CALLER);
    return length;
}
TAVO_FRONT std::size_t __wrap_strcspn(const char* string, const char* rejected) {
    const std::size_t length = strcspn(string, rejected);
    reads(string, length + 1, CALLER);
    reads_string(rejected, CALLER);
    return length;
}
TAVO_FRONT char* __wrap_strpbrk(const char* string, const char* accepted) {
    char* found = const_cast<char*>(strpbrk(string, accepted));
    reads(string, found != nullptr ? static_cast<std::size_t>(found - string) + 1 : strlen(string) + 1, CALLER);
    reads_string(accepted, CALLER);
    return found;
}

TAVO_FRONT char* __wrap_strdup(const char* string) {
    reads_string(string, CALLER);
    return strdup(string);
}
TAVO_FRONT char* __wrap_strndup(const char* string, std::size_t limit) {
    reads(string, bounded_length(string, limit), CALLER);
    return strndup(string, limit);
}

// The GNU form may return a static text instead of filling the buffer; the XSI form always fills it.
TAVO_FRONT char* __wrap_strerror_r(int error, char* buffer, std::size_t size) {
    char* text = strerror_r(error, buffer, size);
    if (text == buffer && size != 0) writes(buffer, strlen(buffer) + 1, CALLER);
    return text;
}
TAVO_FRONT int __wrap___xpg_strerror_r(int error, char* buffer, std::size_t size) {
    const int status = __xpg_strerror_r(error, buffer, size);
    if (size != 0) writes(buffer, strnlen(buffer, size - 1) + 1, CALLER);
    return status;
}

TAVO_FRONT int __wrap_vsnprintf(char* buffer, std::size_t size, const char* format, va_list arguments) {
    const int produced = vsnprintf(buffer, size, format, arguments);
    formatted(buffer, size, produced, CALLER);
    return produced;
}
TAVO_FRONT int __wrap_snprintf(char* buffer, std::size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int produced = vsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    formatted(buffer, size, produced, CALLER);
    return produced;
}
TAVO_FRONT int __wrap_vsprintf(char* buffer, const char* format, va_list arguments) {
    const int produced = vsprintf(buffer, format, arguments);
    formatted(buffer, SIZE_MAX, produced, CALLER);
    return produced;
}
TAVO_FRONT int __wrap_sprintf(char* buffer, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int produced = vsprintf(buffer, format, arguments);
    va_end(arguments);
    formatted(buffer, SIZE_MAX, produced, CALLER);
    return produced;
}

// Streams: the caller's buffers, and the stream's descriptor as a channel between threads.
TAVO_FRONT std::size_t __wrap_fread(void* buffer, std::size_t size, std::size_t count, FILE* stream) {
    const std::size_t items = fread(buffer, size, count, stream);
    if (items != 0) {
        descriptor_read(fileno(stream), CALLER);
        writes(buffer, items * size, CALLER);
    }
    return items;
}
TAVO_FRONT char* __wrap_fgets(char* buffer, int size, FILE* stream) {
    char* line = fgets(buffer, size, stream);
    if (line != nullptr) {
        descriptor_read(fileno(stream), CALLER);
        writes(buffer, strlen(buffer) + 1, CALLER);
    }
    return line;
}
TAVO_FRONT std::size_t __wrap_fwrite(const void* buffer, std::size_t size, std::size_t count, FILE* stream) {
    reads(buffer, size * count, CALLER);
    descriptor_written(fileno(stream), CALLER);
    return fwrite(buffer, size, count, stream);
}
TAVO_FRONT int __wrap_fputs(const char* string, FILE* stream) {
    reads_string(string, CALLER);
    descriptor_written(fileno(stream), CALLER);
    return fputs(string, stream);
}
TAVO_FRONT int __wrap_puts(const char* string) {
    reads_string(string, CALLER);
    descriptor_written(fileno(stdout), CALLER);
    return puts(string);
}
