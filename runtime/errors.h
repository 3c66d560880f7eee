// Error codes and the raisers that report them to the debugger. A raiser returns when the
// debugger lets the program go on; the operation that raised then continues.
#pragma once

#include <cstdint>

namespace tavo {

namespace error {
constexpr std::int32_t version_mismatch = -10000;
constexpr std::int32_t internal = -9999;
constexpr std::int32_t out_of_memory = -9998;
constexpr std::int32_t thread_storage = -9997;
constexpr std::int32_t invalid_parameter = -30000;
constexpr std::int32_t unknown_feature = -29999;
constexpr std::int32_t bad_filter_operation = -29998;
constexpr std::int32_t filter_operation_failed = -29997;
constexpr std::int32_t task_handle_overflow = -29996;
constexpr std::int32_t task_nesting = -29995;
constexpr std::int32_t invalid_task_handle = -29994;
constexpr std::int32_t access_too_big = -29993;
constexpr std::int32_t sync_clock_overflow = -29992;
constexpr std::int32_t no_such_task = -29991;
constexpr std::int32_t invalid_task_type = -29990;
constexpr std::int32_t invalid_sync_type = -29989;
constexpr std::int32_t invalid_memory_order = -29988;
constexpr std::int32_t syncid_overflow = -29987;
constexpr std::int32_t syncid_mismatch = -29986;
}  // namespace error

// System errors: -10000 to -1. Usage errors: -50000 to -10001. A code outside the raiser's class
// is reported as the internal error -9999 at the thread's site instead.
void raise_system_error(std::int32_t code, std::uint64_t site) noexcept;
void raise_system_error_at_thread_site(std::int32_t code) noexcept;
void raise_usage_error(std::int32_t code, std::uint64_t site) noexcept;
void raise_usage_error_at_thread_site(std::int32_t code) noexcept;

// The message logged for an error code, or null for codes logged in the internal-error form.
const char* error_message(std::int32_t code) noexcept;

[[gnu::cold]] void condition_check_failed(const char* condition, const char* file, int line) noexcept;
[[gnu::cold]] void bug_reached(const char* file, int line) noexcept;

}  // namespace tavo

// Internal consistency checks: logged whatever the mask, then reported as -9999 with site 0.
#define TAVO_CHECK(condition) \
    ((condition) ? (void)0 : ::tavo::condition_check_failed(#condition, __FILE_NAME__, __LINE__))
#define TAVO_BUG() ::tavo::bug_reached(__FILE_NAME__, __LINE__)
