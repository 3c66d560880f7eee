// The notifications of the library's entry point.
#include "platform/platform.h"
#include "runtime/errors.h"
#include "runtime/runtime.h"
#include "task/thread_record.h"

namespace tavo {

bool on_process_attach() noexcept {
    per_thread_key_ready = platform::tls_allocate(per_thread_key);
    if (!per_thread_key_ready) raise_system_error(error::thread_storage, 0);
    return per_thread_key_ready;
}

void on_thread_detach() noexcept {
    if (thread_record_t* record = find_thread_record()) destroy_thread_record(record);
}

void on_process_detach() noexcept {
    on_thread_detach();
    // Threads the program left running lose their records with the key: a record made afresh
    // would start a new task with no history and set it against the thread's own past.
    process_detached.store(true);
    add_quick_off(quick_off::key_gone);
    if (per_thread_key_ready.exchange(false)) platform::tls_free(per_thread_key);
}

}  // namespace tavo
