#include "task/thread_record.h"

#include "platform/platform.h"
#include "runtime/errors.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "task/task_model.h"

namespace tavo {

namespace {
// Where a record lives when thread-local storage refuses it, so that the thread does not build a
// new record (and a new initial task) on every call.
thread_local thread_record_t* unstored_record = nullptr;
}  // namespace

#ifndef _WIN32
constinit __thread __attribute__((tls_model("initial-exec"))) thread_words_t thread_words{{0, nullptr}, nullptr, 0, 0};
#endif

thread_record_t* find_thread_record() noexcept {
    if (per_thread_key_ready) {
#ifndef _WIN32
        if (thread_words.keyed_record != nullptr) return thread_words.keyed_record;
#endif
        if (auto* record = static_cast<thread_record_t*>(platform::tls_get(per_thread_key))) return record;
    }
    return unstored_record;
}

thread_record_t* obtain_thread_record_slowly() noexcept {
    if (thread_record_t* record = find_thread_record()) return record;
    if (process_detached.load()) return nullptr;
#ifdef _WIN32
    auto* record = static_cast<thread_record_t*>(heap_allocate(sizeof(thread_record_t)));
    if (record == nullptr) {
        raise_system_error(error::out_of_memory, 0);
        return nullptr;
    }
#else
    thread_record_t* record = &thread_words.record;
#endif
    *record = {};
    if (!per_thread_key_ready || !platform::tls_set(per_thread_key, record)) {
        unstored_record = record;
        raise_system_error(error::thread_storage, 0);
    }
#ifndef _WIN32
    else thread_words.keyed_record = record;
#endif
    // The initial task's entry runs its own frame, with site 0.
    if (request_word() != 0) runtime.apply_pending_requests();
    if (active_mask() & TAVO_ACTIVE_MASTER) enter_task(*record, initial_task_type, platform::current_thread_id(), 0);
    return record;
}

void destroy_thread_record(thread_record_t* record) noexcept {
    end_thread_tasks(*record);
    if (unstored_record == record) unstored_record = nullptr;
    else platform::tls_set(per_thread_key, nullptr);
#ifdef _WIN32
    heap_free(record, sizeof(thread_record_t));
#else
    if (thread_words.keyed_record == record) thread_words.keyed_record = nullptr;
    *record = {};
#endif
}

}  // namespace tavo
