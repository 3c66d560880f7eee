// Threads, locks and the other blocking objects of the C library, interposed: the program's
// calls bind to these definitions ahead of the C library's, which are found with dlsym.
#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "frontend/frontend.h"
#include "frontend/threads.h"
#include "runtime/runtime.h"
#include "runtime/spin_lock.h"
#include "task/fork.h"

using namespace tavo;
using namespace tavo::frontend;

#define TAVO_FRONT extern "C" __attribute__((visibility("default")))
#define CALLER site_of(__builtin_return_address(0))

namespace {

// The real function, looked up once. A failed look-up aborts: nothing sensible can continue.
template <class F>
F real(std::atomic<void*>& slot, const char* name, const char* version = nullptr) noexcept {
    void* function = slot.load(std::memory_order_acquire);
    if (function == nullptr) {
        function = version != nullptr ? dlvsym(RTLD_NEXT, name, version) : dlsym(RTLD_NEXT, name);
        if (function == nullptr) std::abort();
        slot.store(function, std::memory_order_release);
    }
    return reinterpret_cast<F>(function);
}
#define REAL(name, ...)                                          \
    static std::atomic<void*> real_##name##_slot{nullptr};       \
    auto real_##name = real<decltype(&name)>(real_##name##_slot, #name __VA_OPT__(, ) __VA_ARGS__)

// Fork ids of threads not yet joined, by pthread_t: open addressing under a spin lock. A full
// table loses the join's ordering for the threads beyond it, nothing more.
struct thread_slot_t {
    pthread_t thread;
    std::uint64_t fork_id;  // 0: free
};
constexpr std::size_t thread_slots = 4096;
thread_slot_t threads[thread_slots];
std::uint8_t threads_lock = 0;

std::size_t slot_of(pthread_t thread) { return (static_cast<std::size_t>(thread) >> 6) % thread_slots; }

void remember(pthread_t thread, std::uint64_t fork_id) {
    spin_guard_t guard(threads_lock);
    for (std::size_t probe = 0, index = slot_of(thread); probe < thread_slots; ++probe, index = (index + 1) % thread_slots) {
        if (threads[index].fork_id == 0 || pthread_equal(threads[index].thread, thread)) {
            threads[index] = {thread, fork_id};
            return;
        }
    }
}

std::uint64_t forget(pthread_t thread) {
    spin_guard_t guard(threads_lock);
    for (std::size_t probe = 0, index = slot_of(thread); probe < thread_slots; ++probe, index = (index + 1) % thread_slots) {
        if (threads[index].fork_id == 0) return 0;
        if (pthread_equal(threads[index].thread, thread)) {
            const std::uint64_t fork_id = threads[index].fork_id;
            // Backward-shift deletion keeps every probe chain unbroken.
            std::size_t hole = index;
            for (std::size_t next = (hole + 1) % thread_slots; threads[next].fork_id != 0; next = (next + 1) % thread_slots) {
                const std::size_t home = slot_of(threads[next].thread);
                const bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
                if (movable) {
                    threads[hole] = threads[next];
                    hole = next;
                }
            }
            threads[hole].fork_id = 0;
            return fork_id;
        }
    }
    return 0;
}

std::atomic<std::uint64_t> next_thread_task{1};

struct start_t {
    void* (*routine)(void*);
    void* argument;
    std::uint64_t task_id;
    std::uint64_t fork_id;
    std::uint64_t site;
};

thread_local std::uint64_t current_fork_id = 0;
thread_local std::uint64_t current_thread_task = 0;

void* trampoline(void* argument) {
    const start_t start = *static_cast<start_t*>(argument);
    std::free(argument);
    thread_enters(start.task_id, start.fork_id, start.site);
    void* result = start.routine(start.argument);
    thread_leaves(start.site);
    return result;
}

}  // namespace

namespace tavo::frontend {

void thread_enters(std::uint64_t task_id, std::uint64_t fork_id, std::uint64_t site) noexcept {
    current_fork_id = fork_id;
    current_thread_task = task_id;
    thread_started(task_id);
    if (fork_id == 0) return;
    task_from(true, 3, task_id, site);
    sync_operation({task_start_sync_type, fork_id}, memory_order::acquire, site);
    // The creator's activation covered the gap until this task existed.
    runtime.activation_count[3].fetch_sub(1);
    runtime.recompute_active_mask_checked();
}

void thread_leaves(std::uint64_t site) noexcept {
    if (current_fork_id == 0) return;
    thread_finished();
    sync_operation({task_end_sync_type, current_fork_id}, memory_order::release, site);
    task_from(false, 3, current_thread_task, site);
    current_fork_id = 0;
}

}  // namespace tavo::frontend

TAVO_FRONT int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) {
    REAL(pthread_create);
    const std::uint64_t site = CALLER;
    auto* start = static_cast<start_t*>(std::malloc(sizeof(start_t)));
    if (start == nullptr || !ready.load(std::memory_order_relaxed)) {
        std::free(start);
        return real_pthread_create(thread, attributes, routine, argument);
    }
    // Checking must be on before the thread's first access, so the type is active from here.
    runtime.activation_count[3].fetch_add(1);
    runtime.recompute_active_mask_checked();
    *start = {routine, argument, next_thread_task.fetch_add(1), fork_without_wait(site), site};
    thread_created(start->task_id, site);
    const std::uint64_t fork_id = start->fork_id;
    const int result = real_pthread_create(thread, attributes, trampoline, start);
    if (result != 0) {
        std::free(start);
        runtime.activation_count[3].fetch_sub(1);
        runtime.recompute_active_mask_checked();
        join_fork(fork_id, site);
        return result;
    }
    remember(*thread, fork_id);
    return result;
}

TAVO_FRONT int pthread_join(pthread_t thread, void** result) {
    REAL(pthread_join);
    const int status = real_pthread_join(thread, result);
    if (status == 0)
        if (const std::uint64_t fork_id = forget(thread)) join_fork(fork_id, CALLER);
    return status;
}

TAVO_FRONT int pthread_tryjoin_np(pthread_t thread, void** result) {
    REAL(pthread_tryjoin_np);
    const int status = real_pthread_tryjoin_np(thread, result);
    if (status == 0)
        if (const std::uint64_t fork_id = forget(thread)) join_fork(fork_id, CALLER);
    return status;
}

TAVO_FRONT int pthread_timedjoin_np(pthread_t thread, void** result, const struct timespec* deadline) {
    REAL(pthread_timedjoin_np);
    const int status = real_pthread_timedjoin_np(thread, result, deadline);
    if (status == 0)
        if (const std::uint64_t fork_id = forget(thread)) join_fork(fork_id, CALLER);
    return status;
}

TAVO_FRONT int pthread_detach(pthread_t thread) {
    REAL(pthread_detach);
    const int status = real_pthread_detach(thread);
    if (status == 0) forget(thread);
    return status;
}

TAVO_FRONT void pthread_exit(void* result) {
    REAL(pthread_exit);
    thread_leaves(CALLER);
    real_pthread_exit(result);
    __builtin_unreachable();
}

// Mutexes: acquire once the real lock is held, release before the real unlock.
TAVO_FRONT int pthread_mutex_lock(pthread_mutex_t* mutex) {
    REAL(pthread_mutex_lock);
    const int status = real_pthread_mutex_lock(mutex);
    if (status == 0) sync_on_address(mutex, memory_order::acquire, CALLER);
    if (status == 0) lock_acquired(mutex, true, CALLER);
    return status;
}
TAVO_FRONT int pthread_mutex_trylock(pthread_mutex_t* mutex) {
    REAL(pthread_mutex_trylock);
    const int status = real_pthread_mutex_trylock(mutex);
    if (status == 0) sync_on_address(mutex, memory_order::acquire, CALLER);
    if (status == 0) lock_acquired(mutex, true, CALLER);
    return status;
}
TAVO_FRONT int pthread_mutex_timedlock(pthread_mutex_t* mutex, const struct timespec* deadline) {
    REAL(pthread_mutex_timedlock);
    const int status = real_pthread_mutex_timedlock(mutex, deadline);
    if (status == 0) sync_on_address(mutex, memory_order::acquire, CALLER);
    if (status == 0) lock_acquired(mutex, true, CALLER);
    return status;
}
TAVO_FRONT int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock, const struct timespec* deadline) {
    REAL(pthread_mutex_clocklock);
    const int status = real_pthread_mutex_clocklock(mutex, clock, deadline);
    if (status == 0) sync_on_address(mutex, memory_order::acquire, CALLER);
    if (status == 0) lock_acquired(mutex, true, CALLER);
    return status;
}
TAVO_FRONT int pthread_mutex_unlock(pthread_mutex_t* mutex) {
    REAL(pthread_mutex_unlock);
    lock_released(mutex);
    sync_on_address(mutex, memory_order::release, CALLER);
    return real_pthread_mutex_unlock(mutex);
}
TAVO_FRONT int pthread_mutex_destroy(pthread_mutex_t* mutex) {
    REAL(pthread_mutex_destroy);
    sync_on_address(mutex, memory_order::destroy, CALLER);
    return real_pthread_mutex_destroy(mutex);
}

// Reader-writer locks: readers release into the same object as writers, which orders readers
// among themselves too; readers that write are the program's fault either way.
#define TAVO_LOCKING(name, ...)                                                          \
    TAVO_FRONT int name(__VA_ARGS__ *lock) {                                             \
        REAL(name);                                                                      \
        const int status = real_##name(lock);                                            \
        if (status == 0) sync_on_address(lock, memory_order::acquire, CALLER);           \
        return status;                                                                   \
    }
TAVO_LOCKING(pthread_rwlock_rdlock, pthread_rwlock_t)
TAVO_LOCKING(pthread_rwlock_wrlock, pthread_rwlock_t)
TAVO_LOCKING(pthread_rwlock_tryrdlock, pthread_rwlock_t)
TAVO_LOCKING(pthread_rwlock_trywrlock, pthread_rwlock_t)
TAVO_LOCKING(pthread_spin_lock, pthread_spinlock_t)
TAVO_LOCKING(pthread_spin_trylock, pthread_spinlock_t)
TAVO_LOCKING(sem_wait, sem_t)
TAVO_LOCKING(sem_trywait, sem_t)

TAVO_FRONT int pthread_rwlock_timedrdlock(pthread_rwlock_t* lock, const struct timespec* deadline) {
    REAL(pthread_rwlock_timedrdlock);
    const int status = real_pthread_rwlock_timedrdlock(lock, deadline);
    if (status == 0) sync_on_address(lock, memory_order::acquire, CALLER);
    return status;
}
TAVO_FRONT int pthread_rwlock_timedwrlock(pthread_rwlock_t* lock, const struct timespec* deadline) {
    REAL(pthread_rwlock_timedwrlock);
    const int status = real_pthread_rwlock_timedwrlock(lock, deadline);
    if (status == 0) sync_on_address(lock, memory_order::acquire, CALLER);
    return status;
}
TAVO_FRONT int pthread_rwlock_clockrdlock(pthread_rwlock_t* lock, clockid_t clock, const struct timespec* deadline) {
    REAL(pthread_rwlock_clockrdlock);
    const int status = real_pthread_rwlock_clockrdlock(lock, clock, deadline);
    if (status == 0) sync_on_address(lock, memory_order::acquire, CALLER);
    return status;
}
TAVO_FRONT int pthread_rwlock_clockwrlock(pthread_rwlock_t* lock, clockid_t clock, const struct timespec* deadline) {
    REAL(pthread_rwlock_clockwrlock);
    const int status = real_pthread_rwlock_clockwrlock(lock, clock, deadline);
    if (status == 0) sync_on_address(lock, memory_order::acquire, CALLER);
    return status;
}
TAVO_FRONT int pthread_rwlock_destroy(pthread_rwlock_t* lock) {
    REAL(pthread_rwlock_destroy);
    sync_on_address(lock, memory_order::destroy, CALLER);
    return real_pthread_rwlock_destroy(lock);
}

TAVO_FRONT int pthread_rwlock_unlock(pthread_rwlock_t* lock) {
    REAL(pthread_rwlock_unlock);
    sync_on_address(lock, memory_order::release, CALLER);
    return real_pthread_rwlock_unlock(lock);
}
TAVO_FRONT int pthread_spin_unlock(pthread_spinlock_t* lock) {
    REAL(pthread_spin_unlock);
    sync_on_address(lock, memory_order::release, CALLER);
    return real_pthread_spin_unlock(lock);
}
TAVO_FRONT int sem_post(sem_t* semaphore) {
    REAL(sem_post);
    sync_on_address(semaphore, memory_order::release, CALLER);
    return real_sem_post(semaphore);
}
TAVO_FRONT int sem_timedwait(sem_t* semaphore, const struct timespec* deadline) {
    REAL(sem_timedwait);
    const int status = real_sem_timedwait(semaphore, deadline);
    if (status == 0) sync_on_address(semaphore, memory_order::acquire, CALLER);
    return status;
}

TAVO_FRONT int sem_clockwait(sem_t* semaphore, clockid_t clock, const struct timespec* deadline) {
    REAL(sem_clockwait);
    const int status = real_sem_clockwait(semaphore, clock, deadline);
    if (status == 0) sync_on_address(semaphore, memory_order::acquire, CALLER);
    return status;
}

// Condition variables: the wait gives the mutex up and takes it again. The old ABI of the
// condition functions is still the default symbol, so the current one is asked for by version.
TAVO_FRONT int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    REAL(pthread_cond_wait, "GLIBC_2.3.2");
    const std::uint64_t site = CALLER;
    sync_on_address(mutex, memory_order::release, site);
    const int status = real_pthread_cond_wait(condition, mutex);
    sync_on_address(condition, memory_order::acquire, site);
    sync_on_address(mutex, memory_order::acquire, site);
    return status;
}
TAVO_FRONT int pthread_cond_timedwait(pthread_cond_t* condition, pthread_mutex_t* mutex, const struct timespec* deadline) {
    REAL(pthread_cond_timedwait, "GLIBC_2.3.2");
    const std::uint64_t site = CALLER;
    sync_on_address(mutex, memory_order::release, site);
    const int status = real_pthread_cond_timedwait(condition, mutex, deadline);
    sync_on_address(condition, memory_order::acquire, site);
    sync_on_address(mutex, memory_order::acquire, site);
    return status;
}
// std::condition_variable's timed waits use the clock variant.
TAVO_FRONT int pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clock,
                                      const struct timespec* deadline) {
    REAL(pthread_cond_clockwait);
    const std::uint64_t site = CALLER;
    sync_on_address(mutex, memory_order::release, site);
    const int status = real_pthread_cond_clockwait(condition, mutex, clock, deadline);
    sync_on_address(condition, memory_order::acquire, site);
    sync_on_address(mutex, memory_order::acquire, site);
    return status;
}
TAVO_FRONT int pthread_cond_signal(pthread_cond_t* condition) {
    REAL(pthread_cond_signal, "GLIBC_2.3.2");
    sync_on_address(condition, memory_order::release, CALLER);
    return real_pthread_cond_signal(condition);
}
TAVO_FRONT int pthread_cond_broadcast(pthread_cond_t* condition) {
    REAL(pthread_cond_broadcast, "GLIBC_2.3.2");
    sync_on_address(condition, memory_order::release, CALLER);
    return real_pthread_cond_broadcast(condition);
}

// Barriers: every arrival releases before waiting, every departure acquires after it, so each
// thread leaves with the work of all.
TAVO_FRONT int pthread_barrier_wait(pthread_barrier_t* barrier) {
    REAL(pthread_barrier_wait);
    const std::uint64_t site = CALLER;
    sync_on_address(barrier, memory_order::release, site);
    const int status = real_pthread_barrier_wait(barrier);
    sync_on_address(barrier, memory_order::acquire, site);
    return status;
}

// Once: the initialiser's work is released when it returns, and every caller acquires it.
namespace {
thread_local pthread_once_t* running_once = nullptr;
thread_local void (*running_initialiser)() = nullptr;
void run_initialiser() {
    pthread_once_t* once = running_once;
    running_initialiser();
    sync_on_address(once, memory_order::release, 0);
}
}  // namespace

TAVO_FRONT int pthread_once(pthread_once_t* once, void (*initialiser)()) {
    REAL(pthread_once);
    pthread_once_t* outer_once = running_once;
    void (*outer_initialiser)() = running_initialiser;
    running_once = once;
    running_initialiser = initialiser;
    const int status = real_pthread_once(once, run_initialiser);
    running_once = outer_once;
    running_initialiser = outer_initialiser;
    sync_on_address(once, memory_order::acquire, CALLER);
    return status;
}

// Static-local initialisation guards: the inline check reads the guard with an acquiring atomic
// load, which meets the release here.
TAVO_FRONT int __cxa_guard_acquire(std::uint64_t* guard) {
    static std::atomic<void*> slot{nullptr};
    auto real_acquire = real<int (*)(std::uint64_t*)>(slot, "__cxa_guard_acquire");
    const int status = real_acquire(guard);
    if (status == 0) sync_on_address(guard, memory_order::acquire, CALLER);
    return status;
}
TAVO_FRONT void __cxa_guard_release(std::uint64_t* guard) {
    static std::atomic<void*> slot{nullptr};
    auto real_release = real<void (*)(std::uint64_t*)>(slot, "__cxa_guard_release");
    sync_on_address(guard, memory_order::release, CALLER);
    real_release(guard);
}
