#include "runtime/runtime.h"

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "filter/filter_object.h"
#include "runtime/errors.h"
#include "runtime/log.h"
#include "task/ended_tasks.h"

namespace tavo {

namespace {

thread_local bool this_thread_holds_runtime_lock = false;

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
unsigned hex_value(char c) {
    if (c <= '9') return static_cast<unsigned>(c - '0');
    return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

// Hexadecimal as the environment gives it: leading blanks, an optional sign and "0x", digits up
// to the first non-digit; no digits is 0. Returns the magnitude and the sign, or nothing when the
// magnitude exceeds `limit` (a range error leaves the default in place).
struct parsed_hex_t {
    std::uint64_t magnitude;
    bool negative;
    bool digits;
};
std::optional<parsed_hex_t> parse_hex(const char* text, std::uint64_t limit) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    if (text[0] == '0' && (text[1] | 0x20) == 'x' && is_hex_digit(text[2])) text += 2;
    std::uint64_t magnitude = 0;
    const char* const first = text;
    for (; is_hex_digit(*text); ++text) {
        magnitude = magnitude * 16 + hex_value(*text);
        if (magnitude > limit) return std::nullopt;
    }
    return parsed_hex_t{magnitude, negative, text != first};
}

// Unsigned 32-bit: a negative value wraps, as an unsigned conversion does.
void read_unsigned(const char* name, std::uint32_t& word) {
    const char* text = platform::environment_variable(name);
    if (text == nullptr) return;
    if (auto parsed = parse_hex(text, 0xFFFFFFFFu)) {
        // Taken as 0 all the same, but a word such as "yes" is a mistake worth a line.
        if (!parsed->digits) log_stream() << "tavo: " << name << "=" << text << " has no hexadecimal digits; taken as 0\n";
        const auto value = static_cast<std::uint32_t>(parsed->magnitude);
        word = parsed->negative ? 0u - value : value;
    }
}

// Signed 32-bit: succeeds when the value fits.
bool read_signed_succeeds(const char* name) {
    const char* text = platform::environment_variable(name);
    if (text == nullptr) return false;
    const auto parsed = parse_hex(text, 0x80000000u);
    return parsed && (parsed->negative || parsed->magnitude <= 0x7FFFFFFFu);
}

}  // namespace

runtime_lock_guard_t::runtime_lock_guard_t() noexcept : taken_(!this_thread_holds_runtime_lock) {
    if (taken_) {
        spin_acquire(runtime.lock);
        this_thread_holds_runtime_lock = true;
    }
}

runtime_lock_guard_t::~runtime_lock_guard_t() {
    if (taken_) {
        this_thread_holds_runtime_lock = false;
        spin_release(runtime.lock);
    }
}

runtime_t::runtime_t() noexcept {
    // The log stream may be used before any other global of this library is constructed.
    static std::ios_base::Init streams;
    for (feature_t* feature : {features[1], features[0]}) {
        if (feature != nullptr) feature->start(&lock);
    }
    read_environment();
    check_quick_words();
    if (!platform::heavy_fence_ready()) add_quick_off(quick_off::full_fence);
    runtime_lock_guard_t guard;
    report(TAVO_EVENT_HANDSHAKE, 0);
    report(TAVO_EVENT_LOADED, 0);
    std::atomic_ref<std::uint32_t>(quick_off_word).fetch_and(~quick_off::unready);
}

void runtime_t::unload() noexcept {
    // Threads the program left running may still report: the lock keeps their stops and this one
    // apart.
    runtime_lock_guard_t guard;
    report(TAVO_EVENT_UNLOADED, 0);
    tsm.close();
    unloaded_.store(true);
    recompute_active_mask_locked();
}

void check_quick_words() noexcept {
#ifndef _WIN32
    // Through the GOT, and opaque to the compiler, which would take two objects for two addresses.
    const void* config = &__tavo_config;
    asm("" : "+r"(config));
    if (config != &tavo_config_alias) add_quick_off(quick_off::copied_words);
#endif
}

void runtime_t::read_environment() noexcept {
    read_unsigned("TAVO_LOGGING", logging_mask);
    if (logging(log_family::memory)) add_quick_off(quick_off::memory_logging);
    read_unsigned("TAVO_ENABLE", __tavo_config.flags);
    read_unsigned("TAVO_GUARD", guard_mask);
    store_active_mask(guard_mask);
    if (read_signed_succeeds("TAVO_RE")) {
        if (filter_object_t* filter = new_filter_object(0)) re.filter.store(filter, std::memory_order_release);
    }
    read_unsigned("KULMO_DBG_RTLEXCEPTION", exception_code);
}

void runtime_t::report(std::int32_t reason, std::uint64_t site) noexcept {
    if (unloaded_.load(std::memory_order_relaxed)) return;
    __tavo_event_reason = reason;
    __tavo_current_detection.site = site;
    while (__tavo_event_reason != 0) {
        write_event();
        platform::stop_in_debugger();
        __tavo_event_reason = poll_configuration();
    }
    recompute_active_mask_locked();
}

void runtime_t::apply_pending_requests() noexcept {
    runtime_lock_guard_t guard;
    if (request_word() != 0 && !unloaded_.load(std::memory_order_relaxed)) report(poll_configuration(), 0);
}

bool runtime_t::concurrency_holds(std::uint32_t flags) const noexcept {
    if (flags & TAVO_FLAG_ALWAYS_CONCURRENT) return true;
    for (int type : {2, 3}) {
        if (live_count[type].load() != 0 || activation_count[type].load() != 0 || kept_task_count(type) != 0)
            return true;
    }
    return false;
}

std::uint32_t runtime_t::active_mask_rule() const noexcept {
    if ((active_mask() & TAVO_ACTIVE_MASTER) == 0 || unloaded_.load()) return 0;
    const std::uint32_t flags = flags_word();
    std::uint32_t mask = 0xFFFFFFE1u;
    if (concurrency_holds(flags)) {
        if (flags & TAVO_FLAG_TSM) {
            mask = 0xFFFFFFFFu;
            if (flags & TAVO_FLAG_IGNORE_READS) mask &= ~TAVO_ACTIVE_READS;
            if (flags & TAVO_FLAG_IGNORE_ATOMICS) mask &= ~TAVO_ACTIVE_ATOMICS;
        } else {
            mask = 0xFFFFFFE5u;
        }
        if ((flags & TAVO_FLAG_RE) == 0) mask &= ~TAVO_ACTIVE_FUNCTION;
    }
    return mask & guard_mask;
}

void store_active_mask(std::uint32_t mask) noexcept {
    std::atomic_ref<std::uint32_t>(__TAVO_isGuardedCall).store(mask);
    std::uint32_t off = 0;
    if ((mask & TAVO_ACTIVE_READS) == 0) off |= quick_off::reads_off;
    if ((mask & TAVO_ACTIVE_WRITES) == 0) off |= quick_off::writes_off;
    if ((mask & (TAVO_ACTIVE_READS | TAVO_ACTIVE_WRITES)) == 0) off |= quick_off::updates_off;
    std::atomic_ref<std::uint32_t> word(quick_off_word);
    constexpr std::uint32_t families = quick_off::reads_off | quick_off::writes_off | quick_off::updates_off;
    for (std::uint32_t value = word.load(); !word.compare_exchange_weak(value, (value & ~families) | off);) {
    }
}

// A thread that changed a count compares the rule with the mask without the lock, and may do so
// before this store lands. So the counts are read again after the store (all sequentially
// consistent): either this thread sees the other's change, or the other sees this store, finds
// it stale and recomputes itself. No change is lost.
void runtime_t::recompute_active_mask_locked() noexcept {
    for (std::uint32_t value = active_mask_rule();;) {
        store_active_mask(value);
        const std::uint32_t again = active_mask_rule();
        if (again == value) return;
        value = again;
    }
}

void runtime_t::recompute_active_mask_checked() noexcept {
    if (active_mask_rule() == std::atomic_ref<std::uint32_t>(__TAVO_isGuardedCall).load()) return;
    runtime_lock_guard_t guard;
    recompute_active_mask_locked();
}

}  // namespace tavo
