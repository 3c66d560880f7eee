#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#ifdef __linux__
#include <linux/membarrier.h>
#endif
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tavo/tavo.h"

namespace tavo::platform {

namespace {
// A key destructor runs with the slot already cleared; put the record back so that tear-down
// sees the thread as Windows' thread detach does, with its slot still readable.
pthread_key_t g_key;
void thread_exits(void* record) {
    pthread_setspecific(g_key, record);
    on_thread_detach();
}
}  // namespace

bool tls_allocate(tls_key_t& key) noexcept {
    if (pthread_key_create(&g_key, thread_exits) != 0) return false;
    key = static_cast<tls_key_t>(g_key);
    return true;
}

void* tls_get(tls_key_t key) noexcept { return pthread_getspecific(static_cast<pthread_key_t>(key)); }

bool tls_set(tls_key_t key, void* value) noexcept {
    return pthread_setspecific(static_cast<pthread_key_t>(key), value) == 0;
}

void tls_free(tls_key_t key) noexcept { pthread_key_delete(static_cast<pthread_key_t>(key)); }

std::uint32_t current_thread_id() noexcept {
    static thread_local std::uint32_t id = static_cast<std::uint32_t>(syscall(SYS_gettid));
    return id;
}

const char* environment_variable(const char* name) noexcept { return std::getenv(name); }

#if defined(__SANITIZE_THREAD__)
#define TAVO_UNDER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVO_UNDER_THREAD_SANITIZER 1
#endif
#endif

// System calls rather than the C library's mmap, which a front end or the program may interpose.
// A build of our own code under ThreadSanitizer has no front end, and its sanitizer must see
// memory unmapped and mapped again, or it takes a reused block for a race.
void* map_memory(std::size_t size) noexcept {
#ifdef TAVO_UNDER_THREAD_SANITIZER
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
#else
    const long memory = syscall(SYS_mmap, nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == -1 ? nullptr : reinterpret_cast<void*>(memory);
#endif
}
void unmap_memory(void* memory, std::size_t size) noexcept {
#ifdef TAVO_UNDER_THREAD_SANITIZER
    munmap(memory, size);
#else
    syscall(SYS_munmap, memory, size);
#endif
}

void populate_memory(void* memory, std::size_t size) noexcept {
#ifdef MADV_POPULATE_WRITE
    constexpr std::uintptr_t page = 4096;
    const auto first = (reinterpret_cast<std::uintptr_t>(memory) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(memory) + size) & ~(page - 1);
    if (first >= end) return;
    // Older systems refuse the advice; the program's errno must not tell.
    const int saved = errno;
    syscall(SYS_madvise, first, end - first, MADV_POPULATE_WRITE);
    errno = saved;
#else
    (void)memory;
    (void)size;
#endif
}

void* map_huge_memory(std::size_t size) noexcept {
#ifdef MADV_HUGEPAGE
    auto* mapped = static_cast<char*>(map_memory(size + huge_page_size));
    if (mapped == nullptr) return nullptr;
    const auto address = reinterpret_cast<std::uintptr_t>(mapped);
    auto* aligned = reinterpret_cast<char*>((address + huge_page_size - 1) & ~(huge_page_size - 1));
    if (aligned != mapped) unmap_memory(mapped, static_cast<std::size_t>(aligned - mapped));
    unmap_memory(aligned + size, static_cast<std::size_t>(mapped + huge_page_size - aligned));
    const int saved = errno;
    const long advised = syscall(SYS_madvise, aligned, size, MADV_HUGEPAGE);
    errno = saved;
    if (advised == 0) return aligned;
    unmap_memory(aligned, size);
#else
    (void)size;
#endif
    return nullptr;
}

void cpu_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void yield_thread() noexcept { sched_yield(); }

#ifdef __linux__
bool heavy_fence_ready() noexcept {
    static const bool ready = syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    return ready;
}
void heavy_fence() noexcept { syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0); }
#else
bool heavy_fence_ready() noexcept { return false; }
void heavy_fence() noexcept { std::atomic_thread_fence(std::memory_order_seq_cst); }
#endif

void stop_in_debugger() noexcept { __tavo_switch_to_debugger(); }

process_notifier_t::process_notifier_t() noexcept {
    if (!on_process_attach()) {
        // A failed attach fails the load; here the process goes on without the library's
        // per-thread records, as a loader would have unloaded it (detach, then at-exit).
    }
}

process_notifier_t::~process_notifier_t() { on_process_detach(); }

}  // namespace tavo::platform
