// The exported entries: each runs the entry frame, then hands its event to one operation.
#include "runtime/entry_frame.h"
#include "runtime/errors.h"
#include "runtime/log.h"
#include "runtime/plain_access.h"
#include "runtime/runtime.h"
#include "runtime/site_entries.h"
#include "sync/sync_ids.h"
#include "sync/sync_operation.h"
#include "task/ended_tasks.h"
#include "task/fork.h"
#include "tsm/access_record.h"
#include "task/task_context.h"
#include "task/task_model.h"
#include "task/thread_record.h"

using namespace tavo;

namespace {

std::uint64_t site_of(const void* return_address) { return reinterpret_cast<std::uintptr_t>(return_address); }
#define TAVO_RETURN_SITE site_of(__builtin_return_address(0))

// With every task counted as concurrent, accesses still wait for a second task to exist; a kept
// ended task is one, since only a live task accesses.
bool tasks_may_overlap() noexcept {
    return runtime.live_count[1].load(std::memory_order_relaxed) >= 2 || any_task_kept() ||
           runtime.live_count[2].load(std::memory_order_relaxed) != 0 ||
           runtime.activation_count[2].load(std::memory_order_relaxed) != 0 ||
           runtime.live_count[3].load(std::memory_order_relaxed) != 0 ||
           runtime.activation_count[3].load(std::memory_order_relaxed) != 0;
}

[[gnu::cold, gnu::noinline]] void log_access(const task_context_t& task, const void* address, std::uint32_t size,
                                             std::uint32_t type) noexcept {
    log_task_line(log_family::memory, task.label(), [&](std::ostream& stream) {
        static constexpr const char* words[] = {"read", "write", "update", "atomic", "atomic read"};
        stream << " memory " << words[type] << " at " << pointer(address) << ", " << size << " bytes";
    });
}

// Every checked access passes here: the log line stays out of its way.
inline void check_memory(thread_record_t* record, const void* address, std::uint32_t size, std::uint32_t type,
                         std::uint64_t site) noexcept {
    task_context_t* task = record->current_task;
    if (task == nullptr) return;
    const std::uint32_t flags = flags_word();
    if ((flags & TAVO_FLAG_ALWAYS_CONCURRENT) && !tasks_may_overlap()) return;
    record->last_site = site;
    if (logging(log_family::memory)) [[unlikely]] log_access(*task, address, size, type);
    if (flags & TAVO_FLAG_TSM) runtime.tsm.check_access(*task, reinterpret_cast<std::uintptr_t>(address), size, type, site);
}

void memory_access(const void* address, std::uint32_t size, std::uint32_t type, std::uint32_t family_bits,
                   std::uint64_t site) noexcept {
    if (thread_record_t* record = enter_frame(family_bits)) check_memory(record, address, size, type, site);
}

enum class function_event_t { enters, leaves };

void function_event(function_event_t event, const void* function, const void* frame, std::uint64_t site) noexcept {
    thread_record_t* record = enter_frame(TAVO_ACTIVE_FUNCTION);
    if (record == nullptr || record->current_task == nullptr) return;
    record->last_site = site;
    const task_context_t& task = *record->current_task;
    log_task_line(log_family::functions, task.label(), [&](std::ostream& stream) {
        stream << " function " << (event == function_event_t::enters ? "enters" : "leaves");
    });
    // The active mask lags the flags word until the next poll; the flag decides.
    if ((flags_word() & TAVO_FLAG_RE) == 0) return;
    const std::uint64_t address = resolve_jump_stub(reinterpret_cast<std::uintptr_t>(function));
    const task_key_t key{task.type, task.id};
    const std::uint64_t frame_address = reinterpret_cast<std::uintptr_t>(frame);
    if (event == function_event_t::enters) runtime.re.enter(key, address, frame_address);
    else runtime.re.leave(key, address, frame_address);
}

void task_entry(std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept {
    if (thread_record_t* record = enter_frame(TAVO_ACTIVE_MASTER)) enter_task(*record, type, id, site);
}

void task_exit(std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept {
    if (thread_record_t* record = enter_frame(TAVO_ACTIVE_MASTER)) leave_task(*record, type, id, site);
}

void synchronise(std::uint32_t type, std::uint64_t id, std::uint32_t order, std::uint64_t site) noexcept {
    sync_operation({type, id}, order, site);
}

// Objects announced by address through the notification entries.
void synchronise_address(const void* object, std::uint32_t order) noexcept {
    sync_operation({0, reinterpret_cast<std::uintptr_t>(object)}, order, 0);
}

}  // namespace

// For front ends that know the program's own instruction, which the exports cannot see.
void tavo::access_from(const void* address, std::uint32_t size, std::uint32_t type, std::uint64_t site) noexcept {
    static constexpr std::uint32_t families[] = {TAVO_ACTIVE_READS, TAVO_ACTIVE_WRITES,
                                                 TAVO_ACTIVE_WRITES | TAVO_ACTIVE_READS, TAVO_ACTIVE_ATOMICS,
                                                 TAVO_ACTIVE_ATOMICS};
    if (type >= access_type::count) return;
    const std::uint32_t flags = flags_word();
    if (type == access_type::read && (flags & TAVO_FLAG_IGNORE_READS)) return;
    if (type >= access_type::atomic && (flags & TAVO_FLAG_IGNORE_ATOMICS)) return;
    memory_access(address, size, type, families[type], site);
}

// One frame for both families. The mask is read again for the synchronisation: a stop at the
// access polls the configuration, as the frame of a second entry would.
thread_record_t* tavo::atomic_from(const void* address, std::uint32_t size, std::uint32_t type, std::uint32_t order,
                                   bool reads, std::uint64_t site) noexcept {
    thread_record_t* record = enter_frame(TAVO_ACTIVE_ATOMICS | TAVO_ACTIVE_SYNC);
    if (record == nullptr) return nullptr;
    if ((active_mask() & TAVO_ACTIVE_ATOMICS) && (flags_word() & TAVO_FLAG_IGNORE_ATOMICS) == 0)
        check_memory(record, address, size, type, site);
    if ((active_mask() & TAVO_ACTIVE_SYNC) == 0 || record->current_task == nullptr) return nullptr;
    // A relaxed read-modify-write after a release fence releases the fence's clock; the OpenMP
    // runtime's atomics come with `reads` clear and order nothing.
    if (order == 0 && type == access_type::atomic && reads && record->current_task->fenced)
        order = memory_order::update_relaxed;
    if (order != 0) sync_operation_on(*record, {0, reinterpret_cast<std::uintptr_t>(address)}, order, site);
    return reads ? record : nullptr;
}

void tavo::atomic_read(thread_record_t& record, const void* address, bool acquires, std::uint64_t site) noexcept {
    const sync_object_t object{0, reinterpret_cast<std::uintptr_t>(address)};
    if (acquires) sync_operation_on(record, object, memory_order::weak_acquire, site);
    else note_read(record, object);
}

void tavo::fence_from(bool acquires, bool releases, std::uint64_t site) noexcept {
    if (thread_record_t* record = enter_frame(TAVO_ACTIVE_SYNC)) fence_on(*record, acquires, releases, site);
}

void tavo::memory_block_from(const void* address, std::uint64_t size, bool as_write, std::uint64_t site) noexcept {
    if (request_word() != 0) [[unlikely]] runtime.apply_pending_requests();
    if ((flags_word() & TAVO_FLAG_TSM) == 0) return;
    task_context_t* releasing = nullptr;
    if (as_write && (active_mask() & TAVO_ACTIVE_WRITES) &&
        ((flags_word() & TAVO_FLAG_ALWAYS_CONCURRENT) == 0 || tasks_may_overlap())) {
        // A thread that has no record yet has accessed nothing: no task is entered on its behalf here.
        if (thread_record_t* record = find_thread_record()) releasing = record->current_task;
    }
    runtime.tsm.forget_range(releasing, reinterpret_cast<std::uintptr_t>(address), size, site);
}

void tavo::function_from(bool enters, const void* function, const void* frame, std::uint64_t site) noexcept {
    function_event(enters ? function_event_t::enters : function_event_t::leaves, function, frame, site);
}

void tavo::task_from(bool enters, std::int32_t type, std::uint64_t id, std::uint64_t site) noexcept {
    if (enters) task_entry(type, id, site);
    else task_exit(type, id, site);
}

extern "C" {

TAVO_API void _TAVO_readMemory(const void* address, uint32_t size) {
    plain_access(address, size, access_type::read, TAVO_RETURN_SITE);
}

TAVO_API void _TAVO_writeMemory(const void* address, uint32_t size) {
    plain_access(address, size, access_type::write, TAVO_RETURN_SITE);
}

TAVO_API void _TAVO_updateMemory(const void* address, uint32_t size) {
    plain_access(address, size, access_type::update, TAVO_RETURN_SITE);
}

TAVO_API void _TAVO_atomicUpdate(const void* address, uint32_t size) {
    if (flags_word() & TAVO_FLAG_IGNORE_ATOMICS) return;
    memory_access(address, size, access_type::atomic, TAVO_ACTIVE_ATOMICS, TAVO_RETURN_SITE);
}

TAVO_API void _TAVO_enterFunction(const void* function, const void* frame) {
    function_event(function_event_t::enters, function, frame, TAVO_RETURN_SITE);
}
TAVO_API void _TAVO_leaveFunction(const void* function, const void* frame) {
    function_event(function_event_t::leaves, function, frame, TAVO_RETURN_SITE);
}

TAVO_API void _TAVO_enterGenericTask(int32_t type, uint64_t id) { task_entry(type, id, TAVO_RETURN_SITE); }
TAVO_API void _TAVO_enterGenericTaskFrom(int32_t type, uint64_t id, uint64_t site) { task_entry(type, id, site); }
TAVO_API void _TAVO_leaveGenericTask(int32_t type, uint64_t id) { task_exit(type, id, TAVO_RETURN_SITE); }
TAVO_API void _TAVO_leaveGenericTaskFrom(int32_t type, uint64_t id, uint64_t site) { task_exit(type, id, site); }

TAVO_API void _TAVO_activateTaskType(uint32_t task_type) {
    if (task_type >= static_cast<std::uint32_t>(task_type_count)) {
        raise_usage_error(error::invalid_task_type, TAVO_RETURN_SITE);
        return;
    }
    runtime.activation_count[task_type].fetch_add(1);
    runtime.recompute_active_mask_checked();
}

TAVO_API void _TAVO_syncAcquire(uint32_t type, uint64_t id) { synchronise(type, id, memory_order::acquire, TAVO_RETURN_SITE); }
TAVO_API void _TAVO_syncRelease(uint32_t type, uint64_t id) { synchronise(type, id, memory_order::release, TAVO_RETURN_SITE); }
TAVO_API void _TAVO_syncAcquireWeak(uint32_t type, uint64_t id) { synchronise(type, id, memory_order::weak_acquire, TAVO_RETURN_SITE); }
TAVO_API void _TAVO_syncReleaseWeak(uint32_t type, uint64_t id) { synchronise(type, id, memory_order::weak_release, TAVO_RETURN_SITE); }
TAVO_API void _TAVO_syncDestroy(uint32_t type, uint64_t id) { synchronise(type, id, memory_order::destroy, TAVO_RETURN_SITE); }

TAVO_API void _TAVO_syncAlias(uint32_t type, uint64_t id, uint32_t target_type, uint64_t target_id) {
    if (!is_valid_sync_type(type) || !is_valid_sync_type(target_type)) {
        raise_usage_error(error::invalid_sync_type, TAVO_RETURN_SITE);
        return;
    }
    const sync_object_t target = resolve({target_type, target_id});
    if (!is_alias_target_type(target.type)) raise_usage_error_at_thread_site(error::invalid_sync_type);
    record_alias({type, id}, target);
}

TAVO_API uint64_t _TAVO_syncAllocate(void) {
    if (thread_record_t* record = obtain_thread_record()) record->last_site = TAVO_RETURN_SITE;
    return take_sync_id();
}

TAVO_API uint64_t _TAVO_syncForkTask(int32_t type, uint64_t id) { return fork_task(type, id, TAVO_RETURN_SITE); }
TAVO_API uint64_t _TAVO_syncForkTaskCurrent(void) { return fork_current_task(TAVO_RETURN_SITE); }
TAVO_API uint64_t _TAVO_syncForkTaskNowait(void) { return fork_without_wait(TAVO_RETURN_SITE); }
TAVO_API void _TAVO_syncJoin(uint64_t fork_id) { join_fork(fork_id, TAVO_RETURN_SITE); }
TAVO_API void _TAVO_syncTaskwait(int32_t type, uint64_t id) { wait_for_forks(type, id, TAVO_RETURN_SITE); }
TAVO_API void _TAVO_syncTaskwaitCurrent(void) { wait_for_forks_of_current_task(TAVO_RETURN_SITE); }

TAVO_API void _TAVO_warnFrom(int32_t code, uint64_t site) { raise_usage_error(code, site); }
TAVO_API void _TAVO_warn(int32_t code) { raise_usage_error_at_thread_site(code); }

TAVO_API void __zuk_sync_acquired(void* object) { synchronise_address(object, memory_order::acquire); }
TAVO_API void __zuk_notify_sync_acquired(void* object) { synchronise_address(object, memory_order::acquire); }
TAVO_API void __zuk_sync_releasing(void* object) { synchronise_address(object, memory_order::release); }
TAVO_API void __zuk_notify_sync_releasing(void* object) { synchronise_address(object, memory_order::release); }
TAVO_API void __zuk_sync_destroy(void* object) { synchronise_address(object, memory_order::destroy); }
TAVO_API int32_t __zuk_api_version(void) { return 0; }
TAVO_API void __zuk_sync_createA(void*, const char*, const char*, int) {}
TAVO_API void __zuk_sync_createW(void*, const wchar_t*, const wchar_t*, int) {}
TAVO_API void __zuk_sync_renameA(void*, const char*) {}
TAVO_API void __zuk_sync_renameW(void*, const wchar_t*) {}
TAVO_API void __zuk_sync_set_nameA(void*, const char*, const char*, int) {}
TAVO_API void __zuk_sync_set_nameW(void*, const wchar_t*, const wchar_t*, int) {}
TAVO_API void __zuk_notify_sync_nameA(void*, const char*, const char*, int) {}
TAVO_API void __zuk_notify_sync_nameW(void*, const wchar_t*, const wchar_t*, int) {}
TAVO_API void __zuk_sync_prepare(void*) {}
TAVO_API void __zuk_notify_sync_prepare(void*) {}
TAVO_API void __zuk_sync_cancel(void*) {}
TAVO_API void __zuk_notify_sync_cancel(void*) {}

}  // extern "C"
