#include "runtime/log.h"

#include <iostream>

namespace tavo {

std::ostream& log_stream() noexcept { return std::cerr; }

namespace {
constexpr char lower_digits[] = "0123456789abcdef";
constexpr char upper_digits[] = "0123456789ABCDEF";
}  // namespace

std::ostream& operator<<(std::ostream& stream, hex_t number) {
    char text[16];
    std::size_t start = sizeof text;
    std::uint64_t value = number.value;
    do {
        text[--start] = lower_digits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    return stream.write(text + start, static_cast<std::streamsize>(sizeof text - start));
}

std::ostream& operator<<(std::ostream& stream, pointer_t address) {
    char text[16];
    for (int digit = 15; digit >= 0; --digit) text[15 - digit] = upper_digits[(address.value >> (digit * 4)) & 0xF];
    return stream.write(text, sizeof text);
}

void write_bytes(std::ostream& stream, const void* bytes, std::size_t count) {
    const auto* byte = static_cast<const unsigned char*>(bytes);
    for (std::size_t index = 0; index < count; ++index) {
        const char text[3] = {lower_digits[byte[index] >> 4], lower_digits[byte[index] & 0xF], ' '};
        stream.write(text, 3);
    }
}

void write_dump_line(std::ostream& stream, const char* name, const void* bytes, std::size_t count) {
    stream << name << "(0x" << pointer(bytes) << "): ";
    if (bytes != nullptr) write_bytes(stream, bytes, count);
    stream << std::endl;
}

void write_handler_prefix(std::ostream& stream, const task_label_t& task) {
    stream << "tavo: [" << hex(platform::current_thread_id()) << "](" << std::dec << task.type << '.' << task.id
           << ")~" << task.handle;
}

}  // namespace tavo
