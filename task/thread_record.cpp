#include "task/thread_record.h"

#include "platform/platform.h"
#include "runtime/errors.h"
#include "runtime/runtime.h"

namespace tavo {

thread_record_t* find_thread_record() noexcept {
    if (!per_thread_key_ready) return nullptr;
    return static_cast<thread_record_t*>(platform::tls_get(per_thread_key));
}

thread_record_t* obtain_thread_record() noexcept {
    if (thread_record_t* record = find_thread_record()) return record;
    auto* record = static_cast<thread_record_t*>(platform::heap_allocate(sizeof(thread_record_t)));
    if (record == nullptr) {
        raise_system_error(error::out_of_memory, 0);
        return nullptr;
    }
    *record = {};
    if (!per_thread_key_ready || !platform::tls_set(per_thread_key, record)) raise_system_error(error::thread_storage, 0);
    return record;
}

void destroy_thread_record(thread_record_t* record) noexcept {
    platform::tls_set(per_thread_key, nullptr);
    platform::heap_free(record);
}

}  // namespace tavo
