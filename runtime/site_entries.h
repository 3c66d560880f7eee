// Entries with an explicit call site, for front ends linked with the core that forward the
// program's own instruction address rather than their own return address.
#pragma once

#include <cstdint>

namespace tavo {

// type: 0 read, 1 write, 2 update, 3 atomic update, 4 atomic read (front ends only); the same
// gates and flags as the exports.
void access_from(const void* address, std::uint32_t size, std::uint32_t type, std::uint64_t site) noexcept;
void function_from(bool enters, const void* function, const void* frame, std::uint64_t site) noexcept;
void task_from(bool enters, std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept;

}  // namespace tavo
