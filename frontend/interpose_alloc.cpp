// Allocation lifetimes: the heap and mapping functions of the C library, interposed. A block the
// program receives starts with no history, so nothing it does is compared with what an earlier
// block at the same address saw; freeing a block counts as the freeing thread's write of all of it,
// then its history goes too. Mappings are forgotten when made and when removed.
#include <dlfcn.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "frontend/block_events.h"
#include "runtime/site_entries.h"
#include "runtime/spin_lock.h"

using namespace tavo;
using namespace tavo::frontend;

#define TAVO_FRONT extern "C" __attribute__((visibility("default")))
#define CALLER site_of(__builtin_return_address(0))
#define TAVO_THREAD_LOCAL thread_local __attribute__((tls_model("initial-exec")))

namespace tavo::frontend {
thread_local __attribute__((tls_model("initial-exec"))) bool releasing_block = false;
thread_local __attribute__((tls_model("initial-exec"))) bool inside_detector = false;
TAVO_THREAD_LOCAL int collecting_reduction_blocks = 0;
}  // namespace tavo::frontend

namespace {

struct real_functions_t {
    decltype(&::malloc) malloc_function;
    decltype(&::calloc) calloc_function;
    decltype(&::realloc) realloc_function;
    decltype(&::free) free_function;
    decltype(&::posix_memalign) posix_memalign_function;
    decltype(&::aligned_alloc) aligned_alloc_function;
    decltype(&::memalign) memalign_function;
    decltype(&::valloc) valloc_function;
    decltype(&::pvalloc) pvalloc_function;
    decltype(&::malloc_usable_size) malloc_usable_size_function;
    decltype(&::mmap) mmap_function;
    decltype(&::mmap64) mmap64_function;
    decltype(&::munmap) munmap_function;
    void* (*mremap_function)(void*, std::size_t, std::size_t, int, ...);
};
real_functions_t reals;

// The look-up runs once; dlsym may allocate meanwhile, and those allocations (on the resolving
// thread only) come from a static buffer whose blocks are never given back.
std::atomic<int> resolution{0};  // 0 not yet, 1 under way, 2 done
TAVO_THREAD_LOCAL bool resolving = false;
alignas(16) char bootstrap[16384];
std::atomic<std::size_t> bootstrap_used{0};

void* bootstrap_allocate(std::size_t size) noexcept {
    size = (size + 15) & ~std::size_t{15};
    const std::size_t offset = bootstrap_used.fetch_add(size);
    return offset + size <= sizeof bootstrap ? bootstrap + offset : nullptr;
}
bool from_bootstrap(const void* block) noexcept {
    return block >= static_cast<const void*>(bootstrap) && block < static_cast<const void*>(bootstrap + sizeof bootstrap);
}

template <class F>
void look_up(F& function, const char* name) noexcept {
    function = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// False only on the resolving thread, while its look-up is under way.
bool resolve() noexcept {
    if (resolution.load(std::memory_order_acquire) == 2) return true;
    if (resolving) return false;
    int expected = 0;
    if (resolution.compare_exchange_strong(expected, 1)) {
        resolving = true;
        look_up(reals.malloc_function, "malloc");
        look_up(reals.calloc_function, "calloc");
        look_up(reals.realloc_function, "realloc");
        look_up(reals.free_function, "free");
        look_up(reals.posix_memalign_function, "posix_memalign");
        look_up(reals.aligned_alloc_function, "aligned_alloc");
        look_up(reals.memalign_function, "memalign");
        look_up(reals.valloc_function, "valloc");
        look_up(reals.pvalloc_function, "pvalloc");
        look_up(reals.malloc_usable_size_function, "malloc_usable_size");
        look_up(reals.mmap_function, "mmap");
        look_up(reals.mmap64_function, "mmap64");
        look_up(reals.munmap_function, "munmap");
        look_up(reals.mremap_function, "mremap");
        resolving = false;
        resolution.store(2, std::memory_order_release);
        return true;
    }
    while (resolution.load(std::memory_order_acquire) != 2) {}
    return true;
}

// Before the block goes back: once it has, another thread may receive it and start recording.
void released(void* block, std::uint64_t site) noexcept {
    if (engaged_t engaged; engaged) block_releasing(block, usable_size(block), site);
}

// Few and short-lived: a table under a lock; blocks beyond it go without.
struct reduction_blocks_t {
    std::uint8_t lock = 0;
    std::atomic<std::size_t> count{0};
    struct {
        void* base;
        std::size_t size;
    } blocks[64];
} reduction_blocks;

void* allocate(std::size_t size, std::uint64_t site) noexcept {
    void* block = block_received(reals.malloc_function(size), size, site);
    if (collecting_reduction_blocks != 0 && block != nullptr && from_openmp_runtime(site)) {
        spin_guard_t guard(reduction_blocks.lock);
        const std::size_t count = reduction_blocks.count.load(std::memory_order_relaxed);
        if (count < std::size(reduction_blocks.blocks)) {
            reduction_blocks.blocks[count] = {block, size};
            reduction_blocks.count.store(count + 1, std::memory_order_relaxed);
        }
    }
    return block;
}

void release(void* block, std::uint64_t site) noexcept {
    if (block == nullptr || from_bootstrap(block)) return;
    if (reduction_blocks.count.load(std::memory_order_relaxed) != 0) {
        spin_guard_t guard(reduction_blocks.lock);
        const std::size_t count = reduction_blocks.count.load(std::memory_order_relaxed);
        for (std::size_t index = 0; index < count; ++index) {
            if (reduction_blocks.blocks[index].base != block) continue;
            reduction_blocks.blocks[index] = reduction_blocks.blocks[count - 1];
            reduction_blocks.count.store(count - 1, std::memory_order_relaxed);
            break;
        }
    }
    released(block, site);
    reals.free_function(block);
}

// The real realloc frees the old block inside the allocator, where the release could not be seen
// before another thread receives it: a block that grows past its usable size, or shrinks to less
// than half of it, moves through a fresh block instead; any other stays where it is.
void* reallocate(void* block, std::size_t size, std::uint64_t site) noexcept {
    if (block == nullptr) return allocate(size, site);
    if (size == 0) {
        release(block, site);
        return nullptr;
    }
    const std::size_t usable = from_bootstrap(block) ? 0 : reals.malloc_usable_size_function(block);
    if (size <= usable && size >= usable / 2) return block;
    void* moved = allocate(size, site);
    if (moved == nullptr) return nullptr;
    // A bootstrap block's size is unknown: what follows it in the buffer is copied too, harmlessly.
    const std::size_t old_size = from_bootstrap(block) ? static_cast<std::size_t>(bootstrap + sizeof bootstrap - static_cast<char*>(block)) : usable;
    std::memcpy(moved, block, old_size < size ? old_size : size);
    release(block, site);
    return moved;
}

}  // namespace

std::size_t tavo::frontend::usable_size(void* block) noexcept { return reals.malloc_usable_size_function(block); }

// Forgotten outside the lock, which a free inside the detector would otherwise wait for. A block
// freed and handed out again meanwhile loses only what was just recorded in it.
void tavo::frontend::forget_reduction_blocks() noexcept {
    if (reduction_blocks.count.load(std::memory_order_relaxed) == 0) return;
    decltype(reduction_blocks.blocks) blocks;
    std::size_t count = 0;
    {
        spin_guard_t guard(reduction_blocks.lock);
        count = reduction_blocks.count.load(std::memory_order_relaxed);
        std::copy_n(reduction_blocks.blocks, count, blocks);
    }
    for (std::size_t index = 0; index < count; ++index) memory_block_from(blocks[index].base, blocks[index].size, false, 0);
}

TAVO_FRONT void* malloc(std::size_t size) {
    if (!resolve()) return bootstrap_allocate(size);
    return allocate(size, CALLER);
}

TAVO_FRONT void* calloc(std::size_t count, std::size_t size) {
    if (!resolve()) {
        if (size != 0 && count > SIZE_MAX / size) return nullptr;
        return bootstrap_allocate(count * size);  // static storage is zero-filled, never reused
    }
    return block_received(reals.calloc_function(count, size), count * size, CALLER);
}

TAVO_FRONT void* realloc(void* block, std::size_t size) {
    if (!resolve()) return nullptr;
    return reallocate(block, size, CALLER);
}

TAVO_FRONT void* reallocarray(void* block, std::size_t count, std::size_t size) {
    if (size != 0 && count > SIZE_MAX / size) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!resolve()) return nullptr;
    return reallocate(block, count * size, CALLER);
}

TAVO_FRONT void free(void* block) {
    if (!resolve()) return;
    release(block, CALLER);
}

TAVO_FRONT int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
    if (!resolve()) return ENOMEM;
    const int status = reals.posix_memalign_function(result, alignment, size);
    if (status == 0) block_received(*result, size, CALLER);
    return status;
}

TAVO_FRONT void* aligned_alloc(std::size_t alignment, std::size_t size) {
    if (!resolve()) return nullptr;
    return block_received(reals.aligned_alloc_function(alignment, size), size, CALLER);
}

TAVO_FRONT void* memalign(std::size_t alignment, std::size_t size) {
    if (!resolve()) return nullptr;
    return block_received(reals.memalign_function(alignment, size), size, CALLER);
}

TAVO_FRONT void* valloc(std::size_t size) {
    if (!resolve()) return nullptr;
    return block_received(reals.valloc_function(size), size, CALLER);
}

TAVO_FRONT void* pvalloc(std::size_t size) {
    if (!resolve()) return nullptr;
    void* block = reals.pvalloc_function(size);
    return block_received(block, block != nullptr ? reals.malloc_usable_size_function(block) : 0, CALLER);
}

TAVO_FRONT std::size_t malloc_usable_size(void* block) {
    if (!resolve() || from_bootstrap(block)) return 0;
    return reals.malloc_usable_size_function(block);
}

// While the look-up runs on this thread, mappings go to the kernel directly.
TAVO_FRONT void* mmap(void* address, std::size_t length, int protection, int flags, int descriptor, off_t offset) {
    if (!resolve())
        return reinterpret_cast<void*>(syscall(SYS_mmap, address, length, protection, flags, descriptor, offset));
    void* mapped = reals.mmap_function(address, length, protection, flags, descriptor, offset);
    if (mapped != MAP_FAILED) mapping_forgotten(mapped, length, CALLER);
    return mapped;
}

TAVO_FRONT void* mmap64(void* address, std::size_t length, int protection, int flags, int descriptor, off64_t offset) {
    if (!resolve())
        return reinterpret_cast<void*>(syscall(SYS_mmap, address, length, protection, flags, descriptor, offset));
    void* mapped = reals.mmap64_function(address, length, protection, flags, descriptor, offset);
    if (mapped != MAP_FAILED) mapping_forgotten(mapped, length, CALLER);
    return mapped;
}

TAVO_FRONT int munmap(void* address, std::size_t length) {
    if (!resolve()) return static_cast<int>(syscall(SYS_munmap, address, length));
    mapping_forgotten(address, length, CALLER);
    return reals.munmap_function(address, length);
}

TAVO_FRONT void* mremap(void* old_address, std::size_t old_size, std::size_t new_size, int flags, ...) {
    void* requested = nullptr;
    if (flags & MREMAP_FIXED) {
        va_list arguments;
        va_start(arguments, flags);
        requested = va_arg(arguments, void*);
        va_end(arguments);
    }
    if (!resolve()) return reinterpret_cast<void*>(syscall(SYS_mremap, old_address, old_size, new_size, flags, requested));
    void* moved = reals.mremap_function(old_address, old_size, new_size, flags, requested);
    if (moved == MAP_FAILED) return moved;
    if (moved != old_address) {
        mapping_forgotten(old_address, old_size, CALLER);
        mapping_forgotten(moved, new_size, CALLER);
    } else if (new_size > old_size) {
        mapping_forgotten(static_cast<char*>(old_address) + old_size, new_size - old_size, CALLER);
    }
    return moved;
}
