#include "runtime/errors.h"

#include <iostream>

#include "runtime/log.h"
#include "runtime/runtime.h"
#include "task/thread_record.h"

namespace tavo {

namespace {

bool is_system_error(std::int32_t code) { return code >= -10000 && code <= -1; }
bool is_usage_error(std::int32_t code) { return code >= -50000 && code <= -10001; }

void report_locked(std::int32_t code, std::uint64_t site) {
    runtime_lock_guard_t guard;
    runtime.report(code, site);
}

// The record is obtained before the runtime lock is taken: creating it enters the thread's
// initial task, whose frame may itself take the lock to apply a pending configuration.
std::uint64_t thread_site() {
    const thread_record_t* record = obtain_thread_record();
    return record != nullptr ? record->last_site : 0;
}

}  // namespace

void raise_system_error(std::int32_t code, std::uint64_t site) noexcept {
    if (!is_system_error(code)) return raise_system_error_at_thread_site(error::internal);
    report_locked(code, site);
}

void raise_system_error_at_thread_site(std::int32_t code) noexcept {
    if (!is_system_error(code)) code = error::internal;
    report_locked(code, thread_site());
}

void raise_usage_error(std::int32_t code, std::uint64_t site) noexcept {
    if (!is_usage_error(code)) return raise_system_error_at_thread_site(error::internal);
    report_locked(code, site);
}

void raise_usage_error_at_thread_site(std::int32_t code) noexcept {
    if (!is_usage_error(code)) return raise_system_error_at_thread_site(error::internal);
    report_locked(code, thread_site());
}

const char* error_message(std::int32_t code) noexcept {
    switch (code) {
    case error::version_mismatch: return "tavo: version mismatch";
    case error::out_of_memory: return "tavo: out of memory";
    case error::invalid_parameter: return "tavo: invalid parameter";
    case error::unknown_feature: return "tavo: unknown feature";
    case error::bad_filter_operation: return "tavo: bad filter operation";
    case error::filter_operation_failed: return "tavo: filter operation failed";
    case error::task_handle_overflow: return "tavo: task handle overflow";
    case error::task_nesting: return "tavo: task nesting error";
    case error::invalid_task_handle: return "tavo: invalid task handle";
    case error::access_too_big: return "tavo: access too big";
    case error::sync_clock_overflow: return "tavo: sync clock overflow";
    case error::no_such_task: return "tavo: no such task";
    case error::invalid_task_type: return "tavo: invalid task type";
    case error::invalid_sync_type: return "tavo: invalid sync type";
    case error::invalid_memory_order: return "tavo: invalid memory order";
    case error::syncid_overflow: return "tavo: syncid overflow";
    case error::syncid_mismatch: return "tavo: syncid mismatch";
    default: return nullptr;
    }
}

void condition_check_failed(const char* condition, const char* file, int line) noexcept {
    log_stream() << "condition " << condition << " failed at " << file << ':' << std::dec << line << std::endl;
    raise_system_error(error::internal, 0);
}

void bug_reached(const char* file, int line) noexcept {
    log_stream() << "bug at " << file << ':' << std::dec << line << std::endl;
    raise_system_error(error::internal, 0);
}

}  // namespace tavo
