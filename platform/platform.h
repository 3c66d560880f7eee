// The host interface: everything the library needs from the operating system, and nothing else.
// One implementation per host (posix.cpp); the rest of the library sees only this header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo::platform {

using tls_key_t = std::uint32_t;

// Thread-local slot of the per-thread record.
bool tls_allocate(tls_key_t& key) noexcept;
void* tls_get(tls_key_t key) noexcept;
bool tls_set(tls_key_t key, void* value) noexcept;
void tls_free(tls_key_t key) noexcept;

std::uint32_t current_thread_id() noexcept;

// Null when the variable is not set.
const char* environment_variable(const char* name) noexcept;

// Zero-filled read-write pages straight from the operating system, never from the program's
// allocator (which the program may replace, corrupt, or hook into us). Null on failure.
void* map_memory(std::size_t size) noexcept;
// `size` as mapped.
void unmap_memory(void* memory, std::size_t size) noexcept;
// Backs the whole pages of a mapping in one call rather than one fault each, where the system can;
// the memory is about to be written through.
void populate_memory(void* memory, std::size_t size) noexcept;
// `size` bytes as map_memory gives them, aligned to and backed by huge pages where the system offers
// them, so that memory written through costs one fault per huge page; null where it does not.
void* map_huge_memory(std::size_t size) noexcept;
constexpr std::size_t huge_page_size = std::size_t{2} << 20;

void cpu_pause() noexcept;
void yield_thread() noexcept;

// An asymmetric fence: heavy_fence makes every thread of the process pass a full memory barrier
// before it returns, so that the other side of a store-then-load handshake needs only a compiler
// barrier. heavy_fence_ready says, once and for the whole run, whether it can (it registers the
// process on first call); without it both sides must fence.
bool heavy_fence_ready() noexcept;
void heavy_fence() noexcept;

// The debugger's stop: calls the exported __tavo_switch_to_debugger through its dynamic symbol,
// so that a definition in the host executable (a test playing the debugger) takes its place.
void stop_in_debugger() noexcept;

// Created after every other global object of the library and destroyed before them: its
// construction is the process-attach notification, its destruction process detach. Hosts whose
// loader delivers the notifications itself make it empty.
struct process_notifier_t {
    process_notifier_t() noexcept;
    ~process_notifier_t();
    process_notifier_t(const process_notifier_t&) = delete;
    process_notifier_t& operator=(const process_notifier_t&) = delete;
};

}  // namespace tavo::platform

namespace tavo {
// Notifications the platform delivers to the library.
bool on_process_attach() noexcept;
void on_thread_detach() noexcept;
void on_process_detach() noexcept;
}  // namespace tavo
