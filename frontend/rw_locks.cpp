// Reader-writer locks stand on two objects: the lock's address, which writers release and every
// locker acquires, and the byte after it, which readers release and writers acquire. So
// read-locked sections order nothing among themselves, only the writers after them. An unlock
// need not say which kind of lock it ends: each thread keeps the read locks it holds. A thread
// holding more than fit here has its extra read unlocks taken for write unlocks, which orders
// too much (a race missed), never too little.
#include "frontend/frontend.h"
#include "frontend/threads.h"

namespace tavo::frontend {

namespace {
constexpr std::size_t read_lock_capacity = 32;
thread_local const void* read_locks[read_lock_capacity];
thread_local std::size_t read_lock_count = 0;
}  // namespace

const void* readers_of(const void* lock) noexcept { return static_cast<const char*>(lock) + 1; }

void read_locked(const void* lock, std::uint64_t site) noexcept {
    inside_library_t inside;
    lock_acquired(lock, false, site);
    if (read_lock_count < read_lock_capacity) read_locks[read_lock_count++] = lock;
    sync_on_address(lock, memory_order::acquire, site);
}

void write_locked(const void* lock, std::uint64_t site) noexcept {
    inside_library_t inside;
    lock_acquired(lock, true, site);
    sync_on_address(lock, memory_order::acquire, site);
    sync_on_address(readers_of(lock), memory_order::acquire, site);
}

const void* rw_unlocking(const void* lock) noexcept {
    inside_library_t inside;
    lock_released(lock);
    for (std::size_t index = read_lock_count; index-- > 0;) {
        if (read_locks[index] == lock) {
            read_locks[index] = read_locks[--read_lock_count];
            return readers_of(lock);
        }
    }
    return lock;
}

}  // namespace tavo::frontend
