// The log: the standard error stream, one line at a time under the runtime lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>

namespace tavo {

namespace log_family {
constexpr std::uint32_t detection_long = 0x1;
constexpr std::uint32_t status = 0x2;
constexpr std::uint32_t errors = 0x4;
constexpr std::uint32_t detection_short = 0x8;
constexpr std::uint32_t tasks = 0x10;
constexpr std::uint32_t functions = 0x20;
constexpr std::uint32_t memory = 0x40;
constexpr std::uint32_t sync = 0x80;
constexpr std::uint32_t dumps = 0x400;
}  // namespace log_family

std::ostream& log_stream() noexcept;

// Number formats of our own, identical on every host.
struct hex_t {
    std::uint64_t value;
};
struct pointer_t {
    std::uint64_t value;
};
inline hex_t hex(std::uint64_t value) noexcept { return {value}; }
inline pointer_t pointer(std::uint64_t value) noexcept { return {value}; }
inline pointer_t pointer(const void* address) noexcept { return {reinterpret_cast<std::uintptr_t>(address)}; }
std::ostream& operator<<(std::ostream& stream, hex_t number);      // lower case, no leading zeros
std::ostream& operator<<(std::ostream& stream, pointer_t address); // 16 upper-case digits

// Each byte as two lower-case digits followed by a blank.
void write_bytes(std::ostream& stream, const void* bytes, std::size_t count);
// "name(0xADDRESS): bytes", end of line.
void write_dump_line(std::ostream& stream, const char* name, const void* bytes, std::size_t count);

// The task a handler line speaks of.
struct task_label_t {
    std::int32_t type;
    std::uint64_t id;
    std::uint16_t handle;
};

// Writes "tavo: [thread](type.id)~handle", then lets the caller write the rest of the line.
void write_handler_prefix(std::ostream& stream, const task_label_t& task);

}  // namespace tavo

#include "runtime/runtime.h"

namespace tavo {

// A handler line of one family (tasks, functions, memory, sync) for the given task.
template <class WriteText>
void log_task_line(std::uint32_t family, const task_label_t& task, WriteText&& write_text) noexcept {
    if (!logging(family)) return;
    runtime_lock_guard_t guard;
    std::ostream& stream = log_stream();
    write_handler_prefix(stream, task);
    write_text(stream);
    stream << std::endl;
}

// Writes the log lines of the current event reason and detection record.
void write_event() noexcept;

}  // namespace tavo
