// Every global object of the library, in the order of the load events: the runtime object first
// (its construction announces the load, its destruction the unload), the platform's process
// notifier last (process attach after every other construction, process detach before every
// other destruction).
#include "platform/platform.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "sync/sync_object.h"
#include "task/task_table.h"

extern "C" {
// Aligned for the quick path's load of two of its words (quick_config_holds).
alignas(16) TAVO_DATA tavo_config_t __tavo_config = {TAVO_CONFIG_VERSION, 0, 0, 0};
TAVO_DATA tavo_filter_record_t* __tavo_filter_space = nullptr;
TAVO_DATA int32_t __tavo_event_reason = 0;
TAVO_DATA tavo_detection_t __tavo_current_detection = {};
TAVO_DATA uint32_t __TAVO_isGuardedCall = 0xFFFFFFFFu;
#ifndef _WIN32
extern tavo_config_t tavo_config_alias __attribute__((alias("__tavo_config"), visibility("hidden")));
#endif
}

namespace tavo {

std::uint32_t guard_mask = 0xFFFFFFFFu;
std::uint32_t exception_code = 0xA1A01DB0u;
std::uint32_t logging_mask = 0;
std::uint32_t filter_capacity = 0;
platform::tls_key_t per_thread_key = 0;
std::atomic<bool> per_thread_key_ready{false};
std::atomic<bool> process_detached{false};
std::uint32_t quick_off_word = quick_off::unready;

runtime_storage_t::runtime_storage_t() noexcept : object() {}
runtime_storage_t::~runtime_storage_t() { object.unload(); }
runtime_storage_t runtime_storage;

namespace {
immortal_t<sync_aliases_t> sync_aliases_storage;
}  // namespace

task_handles_t task_handles;
handle_map_t task_table;
constinit sync_aliases_t& sync_aliases = sync_aliases_storage.object;

namespace {
platform::process_notifier_t process_notifier;
}

}  // namespace tavo
