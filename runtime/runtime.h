// The runtime object and the global words beside it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "re/re.h"
#include "runtime/spin_lock.h"
#include "sync/sync_object.h"
#include "tavo/tavo.h"
#include "tsm/arena.h"
#include "tsm/tsm.h"

// On the declaration of a global the library defines: its code then reaches it directly, where a
// plain declaration goes through the GOT (the build hides definitions, not declarations).
#ifdef _WIN32
#define TAVO_LOCAL
#else
#define TAVO_LOCAL __attribute__((visibility("hidden")))
#endif

namespace tavo {

constexpr int task_type_count = 4;  // types 0 to 3 are counted

class runtime_t {
public:
    runtime_t() noexcept;
    // The unload: announces it and closes the runtime. The object itself is never destroyed, so
    // that threads still calling in while the process ends find its state intact.
    void unload() noexcept;
    runtime_t(const runtime_t&) = delete;
    runtime_t& operator=(const runtime_t&) = delete;

    // Under the runtime lock: sets the event reason and the site, then stops in the debugger
    // and polls until the poll has nothing more to say; recomputes the active mask.
    void report(std::int32_t reason, std::uint64_t site) noexcept;
    // Under the runtime lock: applies what the debugger wrote into the configuration block.
    std::int32_t poll_configuration() noexcept;
    void recompute_active_mask_locked() noexcept;
    // Without the lock when nothing changes.
    void recompute_active_mask_checked() noexcept;
    // The frame's first step, taken when the request word is non-zero.
    void apply_pending_requests() noexcept;

    std::uint32_t active_mask_rule() const noexcept;
    bool concurrency_holds(std::uint32_t flags) const noexcept;

    // Clock buckets and the task table's extra buckets: they outlive any detector reset.
    arena_t arena;
    tsm_t tsm{this};
    re_t re{this};
    std::atomic<std::uint16_t> live_count[task_type_count] = {};
    std::atomic<std::uint16_t> activation_count[task_type_count] = {};
    std::uint8_t lock = 0;
    feature_t* features[2] = {&tsm, &re};
    sync_table_t sync_tables[sync_type_count];

private:
    void read_environment() noexcept;

    std::atomic<bool> unloaded_{false};  // nothing is reported and every family is off from then on
};

// Destroying it unloads the runtime and leaves its state in place (see runtime_t::unload).
union runtime_storage_t {
    runtime_t object;
    runtime_storage_t() noexcept;
    ~runtime_storage_t();
};
extern TAVO_LOCAL runtime_storage_t runtime_storage;
// A constant address, so that the quick path reaches the runtime's words without loading it.
inline constexpr runtime_t& runtime = runtime_storage.object;

// Global words set once at load from the environment.
extern std::uint32_t guard_mask;
extern std::uint32_t exception_code;
extern TAVO_LOCAL std::uint32_t logging_mask;
// Records the current filter buffer holds.
extern std::uint32_t filter_capacity;
extern platform::tls_key_t per_thread_key;
extern std::atomic<bool> per_thread_key_ready;
// Set at process detach: from then on a thread without a record gets none.
extern std::atomic<bool> process_detached;

// The one process-wide word of the library's own that the quick path reads: the reasons, rare, for
// every plain access to take the whole way, and beside them the active mask's families of plain
// accesses, inverted, so that one test of the word sends every access on its way or away.
// Reasons are only ever added, each before its cause takes effect where the whole way looks for it,
// but for `unready`, cleared once as the runtime's construction ends; a stale clear bit read by an
// access racing with the change is no different from an access made just before it. The family
// bits follow every store of the active mask, after it, as one change of the word.
namespace quick_off {
constexpr std::uint32_t memory_logging = 0x1;   // each access is logged
constexpr std::uint32_t tsm_filter = 0x2;       // the detector has a filter, which may exempt the access
constexpr std::uint32_t key_gone = 0x4;         // process detach: thread records are no longer found
constexpr std::uint32_t copied_words = 0x8;     // the program holds the exported words (see quick_config)
constexpr std::uint32_t unready = 0x10;         // the runtime is not built yet, or its front end takes no events
// The process has no asymmetric fence (touched_list_t), set as the runtime starts: the whole way
// takes the full fence, which the quick path then need not test for.
constexpr std::uint32_t full_fence = 0x20;
constexpr std::uint32_t reasons = 0xFF;
// A plain access of type t (access_type) with bit (reads_off << t) set is not checked.
constexpr std::uint32_t reads_off = 0x100;
constexpr std::uint32_t writes_off = 0x200;
constexpr std::uint32_t updates_off = 0x400;  // both of the above
}  // namespace quick_off
extern TAVO_LOCAL std::uint32_t quick_off_word;  // atomic (a plain word, which the compiler reaches in one load)
inline std::uint32_t quick_off_bits() noexcept {
    return std::atomic_ref<const std::uint32_t>(quick_off_word).load(std::memory_order_relaxed);
}
inline void add_quick_off(std::uint32_t reason) noexcept { std::atomic_ref<std::uint32_t>(quick_off_word).fetch_or(reason); }
// Stores the active mask, then its families in the quick word.
void store_active_mask(std::uint32_t mask) noexcept;
// The configuration block as the quick path reads it. Exported data is reached through the GOT, a
// load per word; on ELF this is a hidden alias of the same object, reached directly. A program that
// references the exported words from non-PIC code gets copies of its own (a copy relocation), which
// the rest of the library and the debugger then use: the quick path is off for good then
// (quick_off::copied_words), as the alias names the original.
#ifdef _WIN32
inline const tavo_config_t& quick_config() noexcept { return __tavo_config; }
#else
extern "C" TAVO_LOCAL tavo_config_t tavo_config_alias;
inline const tavo_config_t& quick_config() noexcept { return tavo_config_alias; }
#endif
// Sets quick_off::copied_words when the exported block is not the one the alias names.
void check_quick_words() noexcept;

inline std::uint32_t load_word(const std::uint32_t& word) noexcept {
    return std::atomic_ref<const std::uint32_t>(word).load(std::memory_order_relaxed);
}
inline std::uint32_t active_mask() noexcept { return load_word(__TAVO_isGuardedCall); }
inline std::uint32_t flags_word() noexcept { return load_word(__tavo_config.flags); }
inline std::uint32_t request_word() noexcept { return load_word(__tavo_config.request); }
inline bool logging(std::uint32_t family) noexcept { return (logging_mask & family) != 0; }

// Takes the runtime lock unless the calling thread already holds it, so that raisers, reports and
// log lines reached under the lock never wait for their own thread.
class runtime_lock_guard_t {
public:
    runtime_lock_guard_t() noexcept;
    ~runtime_lock_guard_t();
    runtime_lock_guard_t(const runtime_lock_guard_t&) = delete;
    runtime_lock_guard_t& operator=(const runtime_lock_guard_t&) = delete;

private:
    bool taken_;
};

}  // namespace tavo
