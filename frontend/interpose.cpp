// Threads, locks and the other blocking objects of the C library, interposed: the program's
// calls bind to these definitions ahead of the C library's, which are found with dlsym.
#include <mqueue.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#include "frontend/frontend.h"
#include "frontend/real_function.h"
#include "frontend/thread_stack.h"
#include "frontend/threads.h"
#include "runtime/memory.h"
#include "runtime/spin_lock.h"
#include "task/fork.h"

using namespace tavo;
using namespace tavo::frontend;

#define TAVO_FRONT extern "C" __attribute__((visibility("default")))
#define CALLER site_of(__builtin_return_address(0))

extern "C" int __cxa_thread_atexit_impl(void (*function)(void*), void* object, void* owner) noexcept;
extern "C" void* __dso_handle;

namespace {

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
    inside_library_t inside;
    spin_guard_t guard(threads_lock);
    for (std::size_t probe = 0, index = slot_of(thread); probe < thread_slots; ++probe, index = (index + 1) % thread_slots) {
        if (threads[index].fork_id == 0 || pthread_equal(threads[index].thread, thread)) {
            threads[index] = {thread, fork_id};
            return;
        }
    }
}

// The thread's fork id, or 0; with `joined` its entry goes too, unless it holds another fork by then.
std::uint64_t look_up(pthread_t thread, std::uint64_t joined = 0) {
    inside_library_t inside;
    spin_guard_t guard(threads_lock);
    for (std::size_t probe = 0, index = slot_of(thread); probe < thread_slots; ++probe, index = (index + 1) % thread_slots) {
        if (threads[index].fork_id == 0) return 0;
        if (pthread_equal(threads[index].thread, thread)) {
            const std::uint64_t fork_id = threads[index].fork_id;
            if (fork_id != joined) return fork_id;
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

// Threads of either interface: their start routines return void* (POSIX) or int (C11).
template <class Result>
struct start_t {
    Result (*routine)(void*);
    void* argument;
    thread_start_t thread;
    sigset_t mask;  // the creator's, taken by the thread once it is inside its task
};

// The thread leaves its task as late as it can: after the destructors of its thread-locals, which
// run after it returned or was unwound by cancellation, pthread_exit or thrd_exit (cleanup
// handlers first), so that a join orders all of it. Registered first, the call runs last.
// exit() runs the calling thread's thread-local destructors too, and then the exit handlers on that
// thread: it goes on running as the thread it was, so it does not leave its task there.
thread_local bool exiting_process = false;

// No signal handler runs on the thread outside its task: what it did would be ordered with nothing.
// Answers the mask the thread had.
sigset_t block_all_signals() {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    return previous;
}

void leave_thread(void* site) {
    if (exiting_process) return;
    block_all_signals();
    thread_leaves(reinterpret_cast<std::uint64_t>(site));
}

template <class Result>
Result trampoline(void* argument) {
    const start_t<Result> start = *static_cast<start_t<Result>*>(argument);
    {
        inside_library_t inside;
        heap_free(argument, sizeof(start_t<Result>));
        thread_enters(start.thread);
    }
    pthread_sigmask(SIG_SETMASK, &start.mask, nullptr);
    void* const site = reinterpret_cast<void*>(start.thread.site);
    // Without room for the registration, the thread leaves when its function is done.
    struct leaves_t {
        void* site;
        ~leaves_t() {
            if (site != nullptr) leave_thread(site);
        }
    } leaves{__cxa_thread_atexit_impl(leave_thread, site, &__dso_handle) == 0 ? nullptr : site};
    return start.routine(start.argument);
}

// `create(routine, argument)` is the real creation; both interfaces answer 0 for success.
template <class Thread, class Result, class Create>
int create_thread(Thread* thread, Result (*routine)(void*), void* argument, std::uint64_t site, Create create) {
    if (!ready.load(std::memory_order_relaxed)) return create(routine, argument);
    auto* start = [&] {
        inside_library_t inside;
        auto* block = static_cast<start_t<Result>*>(heap_allocate(sizeof(start_t<Result>)));
        if (block != nullptr && (from_openmp_runtime(site) || !thread_forking(site, block->thread))) {
            heap_free(block, sizeof(start_t<Result>));
            block = nullptr;
        }
        return block;
    }();
    if (start == nullptr) return create(routine, argument);
    start->routine = routine;
    start->argument = argument;
    const thread_start_t forked = start->thread;
    // The thread starts with every signal blocked until it is inside its task.
    const sigset_t mask = block_all_signals();
    start->mask = mask;
    const int result = create(&trampoline<Result>, start);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    if (result != 0) {
        inside_library_t inside;
        heap_free(start, sizeof(start_t<Result>));
        thread_not_started(forked);
        return result;
    }
    remember(*thread, forked.fork_id);
    return result;
}

// A join of either interface, `join()` the real one: a joined thread orders everything it did before
// the joiner. Its fork id is looked up first: once the thread is reaped, its pthread_t may name a
// thread that another one creates meanwhile, whose fork then takes the entry.
template <class Join>
int join_thread(pthread_t thread, std::uint64_t site, Join join) {
    const std::uint64_t fork_id = ready.load(std::memory_order_relaxed) ? look_up(thread) : 0;
    const int status = join();
    if (status == 0 && fork_id != 0) {
        look_up(thread, fork_id);
        inside_library_t inside;
        join_fork(fork_id, site);
    }
    return status;
}

// A detach, `detach()` the real one: the thread's entry goes, looked up first as for a join.
template <class Detach>
int detach_thread(pthread_t thread, Detach detach) {
    const std::uint64_t fork_id = look_up(thread);
    const int status = detach();
    if (status == 0 && fork_id != 0) look_up(thread, fork_id);
    return status;
}

// The library's thread-local data and its frames come out of every thread's stack: a thread asked
// for with one of the smallest stacks would not start, or would overflow. Such a request gets our
// share on top, in a copy of the attributes; a stack the program placed itself stays as it is.
const pthread_attr_t* with_room(const pthread_attr_t* attributes, pthread_attr_t& roomier) noexcept {
    constexpr std::size_t room = 128 * 1024;
    void* low = nullptr;
    std::size_t size = 0;
    // The C library answers the stack's top less its size; with no stack placed, the top is null.
    if (attributes == nullptr || pthread_attr_getstack(attributes, &low, &size) != 0 ||
        reinterpret_cast<std::uintptr_t>(low) + size != 0 || size >= 8 * room)
        return attributes;
    // A byte copy shares the original's out-of-line parts (CPU set, signal mask), which only its
    // destruction frees: the copy is never destroyed.
    std::memcpy(&roomier, attributes, sizeof roomier);
    return pthread_attr_setstacksize(&roomier, size + room) == 0 ? &roomier : attributes;
}

}  // namespace

TAVO_FRONT int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) {
    REAL(pthread_create);
    pthread_attr_t roomier;
    const pthread_attr_t* used = with_room(attributes, roomier);
    return create_thread(thread, routine, argument, CALLER, [&](void* (*start)(void*), void* with) {
        return real_pthread_create(thread, used, start, with);
    });
}

TAVO_FRONT void exit(int status) noexcept {
    REAL(exit);
    exiting_process = true;
    real_exit(status);
    __builtin_unreachable();
}

TAVO_FRONT void _exit(int status) {
    REAL(_exit);
    real__exit(ending_status(status));
    __builtin_unreachable();
}

TAVO_FRONT void _Exit(int status) noexcept {
    REAL(_Exit);
    real__Exit(ending_status(status));
    __builtin_unreachable();
}

namespace {

// A SIGEV_THREAD notification's function runs on a thread that the C library starts out of
// pthread_create's sight: it runs as a thread of its own, created where the notification was
// asked for, and ordered after the releases of its object (a timer's arming, a queue's messages).
// A call block lives as long as the process: a notification may still be on its way when its
// timer is deleted or its queue closed.
struct notification_t {
    void (*function)(sigval);
    sigval value;
    std::uint64_t creator, site;
    stack_id_t created_at;
    std::atomic<std::uint64_t> object;  // the sync id its releases use
};

void notified(sigval value) {
    auto* call = static_cast<notification_t*>(value.sival_ptr);
    const std::uint64_t task = notified_thread_enters(call->object.load(std::memory_order_relaxed), call->creator,
                                                      call->created_at, call->site);
    call->function(call->value);
    notified_thread_leaves(task, call->site);
}

// The block for a SIGEV_THREAD event, written into `ours` as its function and value; null (and
// `ours` untouched) for other events or none.
notification_t* notification(const sigevent* event, sigevent& ours, std::uint64_t object, std::uint64_t site) {
    if (event == nullptr || event->sigev_notify != SIGEV_THREAD || !ready.load(std::memory_order_relaxed)) return nullptr;
    inside_library_t inside;
    auto* call = static_cast<notification_t*>(heap_allocate(sizeof(notification_t)));
    if (call == nullptr) return nullptr;
    new (call) notification_t{event->sigev_notify_function, event->sigev_value, current_thread(), site, stack_unwound(site),
                              {object}};
    ours = *event;
    ours.sigev_notify_function = notified;
    ours.sigev_value.sival_ptr = call;
    return call;
}

void unused(notification_t* call) {
    inside_library_t inside;
    heap_free(call, sizeof(notification_t));
}

// Apart from every address (below bit 47) and descriptor object (bit 63).
std::uint64_t timer_object(timer_t timer) { return std::uint64_t{1} << 62 | reinterpret_cast<std::uintptr_t>(timer); }

}  // namespace

TAVO_FRONT int timer_create(clockid_t clock, sigevent* event, timer_t* timer) {
    REAL(timer_create);
    sigevent ours;
    notification_t* call = notification(event, ours, 0, CALLER);
    const int result = real_timer_create(clock, call != nullptr ? &ours : event, timer);
    if (call != nullptr && result == 0) call->object.store(timer_object(*timer), std::memory_order_relaxed);
    else if (call != nullptr) unused(call);
    return result;
}

TAVO_FRONT int timer_settime(timer_t timer, int flags, const itimerspec* value, itimerspec* old) {
    REAL(timer_settime);
    if (ready.load(std::memory_order_relaxed)) {
        inside_library_t inside;
        sync_operation({0, timer_object(timer)}, memory_order::release, CALLER);
    }
    return real_timer_settime(timer, flags, value, old);
}

// The message that arrives released the queue's object.
TAVO_FRONT int mq_notify(mqd_t queue, const sigevent* event) {
    REAL(mq_notify);
    sigevent ours;
    notification_t* call = notification(event, ours, descriptor_object(queue), CALLER);
    const int result = real_mq_notify(queue, call != nullptr ? &ours : event);
    if (call != nullptr && result != 0) unused(call);
    return result;
}

TAVO_FRONT int pthread_join(pthread_t thread, void** result) {
    REAL(pthread_join);
    return join_thread(thread, CALLER, [&] { return real_pthread_join(thread, result); });
}

TAVO_FRONT int pthread_tryjoin_np(pthread_t thread, void** result) {
    REAL(pthread_tryjoin_np);
    return join_thread(thread, CALLER, [&] { return real_pthread_tryjoin_np(thread, result); });
}

TAVO_FRONT int pthread_timedjoin_np(pthread_t thread, void** result, const struct timespec* deadline) {
    REAL(pthread_timedjoin_np);
    return join_thread(thread, CALLER, [&] { return real_pthread_timedjoin_np(thread, result, deadline); });
}

TAVO_FRONT int pthread_detach(pthread_t thread) {
    REAL(pthread_detach);
    return detach_thread(thread, [&] { return real_pthread_detach(thread); });
}

// Sync objects are memory too: making or unmaking one writes it, every other use reads its first
// byte, each before the synchronisation it takes part in. An init or destroy that is not ordered
// with another thread's use of the object is reported as a race on it.
namespace {
// The OpenMP runtime's own objects are not the program's.
template <class T>
void writes_object(T* object, std::uint64_t site) noexcept {
    if (!from_openmp_runtime(site))
        access(const_cast<const void*>(static_cast<const volatile void*>(object)), sizeof(T), write_access, site);
}
void uses_object(const volatile void* object, std::uint64_t site) noexcept {
    if (!from_openmp_runtime(site)) access(const_cast<const void*>(object), 1, read_access, site);
}
}  // namespace

#define TAVO_INIT(name, T, ...)                                                     \
    TAVO_FRONT int name(T* object __VA_OPT__(, ) __VA_ARGS__) {                     \
        REAL(name);                                                                 \
        writes_object(object, CALLER);                                              \
        return real_##name(object, TAVO_INIT_ARGUMENTS);                            \
    }
// R: the function's return type (the C11 ones return nothing).
#define TAVO_DESTROY(name, T, R)                                                    \
    TAVO_FRONT R name(T* object) {                                                  \
        REAL(name);                                                                 \
        writes_object(object, CALLER);                                              \
        sync_on_address(object, memory_order::destroy, CALLER);                     \
        return real_##name(object);                                                 \
    }
#define TAVO_INIT_ARGUMENTS attributes
TAVO_INIT(pthread_mutex_init, pthread_mutex_t, const pthread_mutexattr_t* attributes)
TAVO_INIT(pthread_rwlock_init, pthread_rwlock_t, const pthread_rwlockattr_t* attributes)
TAVO_INIT(pthread_spin_init, pthread_spinlock_t, int attributes)
#undef TAVO_INIT_ARGUMENTS
#define TAVO_INIT_ARGUMENTS attributes, count
TAVO_INIT(pthread_barrier_init, pthread_barrier_t, const pthread_barrierattr_t* attributes, unsigned count)
TAVO_INIT(sem_init, sem_t, int attributes, unsigned count)
#undef TAVO_INIT_ARGUMENTS
TAVO_DESTROY(pthread_mutex_destroy, pthread_mutex_t, int)
TAVO_DESTROY(pthread_spin_destroy, pthread_spinlock_t, int)
TAVO_DESTROY(pthread_barrier_destroy, pthread_barrier_t, int)
TAVO_DESTROY(sem_destroy, sem_t, int)

// Mutexes, spin locks, semaphores: acquire once the real lock is held, release before the real
// unlock. Reports name the mutexes and spin locks a thread holds; a semaphore is no lock it holds.
namespace {
void now_held(const volatile void* lock, std::uint64_t site) noexcept { lock_acquired(const_cast<const void*>(lock), true, site); }
void now_held(sem_t*, std::uint64_t) noexcept {}
void no_longer_held(const volatile void* lock) noexcept { lock_released(const_cast<const void*>(lock)); }
void no_longer_held(sem_t*) noexcept {}
}  // namespace
#define TAVO_LOCKING(name, T, ...)                                                       \
    TAVO_FRONT int name(T* lock __VA_OPT__(, ) __VA_ARGS__) {                            \
        REAL(name);                                                                      \
        const std::uint64_t site = CALLER;                                               \
        uses_object(lock, site);                                                         \
        const int status = real_##name(lock __VA_OPT__(, TAVO_LOCKING_ARGUMENTS));      \
        if (status == 0) sync_on_address(lock, memory_order::acquire, site);             \
        if (status == 0) now_held(lock, site);                                           \
        return status;                                                                   \
    }
#define TAVO_UNLOCKING(name, T)                                                          \
    TAVO_FRONT int name(T* lock) {                                                       \
        REAL(name);                                                                      \
        const std::uint64_t site = CALLER;                                               \
        uses_object(lock, site);                                                         \
        no_longer_held(lock);                                                            \
        sync_on_address(lock, memory_order::release, site);                              \
        return real_##name(lock);                                                        \
    }
TAVO_LOCKING(pthread_mutex_lock, pthread_mutex_t)
TAVO_LOCKING(pthread_mutex_trylock, pthread_mutex_t)
TAVO_LOCKING(pthread_spin_lock, pthread_spinlock_t)
TAVO_LOCKING(pthread_spin_trylock, pthread_spinlock_t)
TAVO_LOCKING(sem_wait, sem_t)
TAVO_LOCKING(sem_trywait, sem_t)
#define TAVO_LOCKING_ARGUMENTS deadline
TAVO_LOCKING(pthread_mutex_timedlock, pthread_mutex_t, const struct timespec* deadline)
TAVO_LOCKING(sem_timedwait, sem_t, const struct timespec* deadline)
#undef TAVO_LOCKING_ARGUMENTS
#define TAVO_LOCKING_ARGUMENTS clock, deadline
TAVO_LOCKING(pthread_mutex_clocklock, pthread_mutex_t, clockid_t clock, const struct timespec* deadline)
TAVO_LOCKING(sem_clockwait, sem_t, clockid_t clock, const struct timespec* deadline)
#undef TAVO_LOCKING_ARGUMENTS
TAVO_UNLOCKING(pthread_mutex_unlock, pthread_mutex_t)
TAVO_UNLOCKING(pthread_spin_unlock, pthread_spinlock_t)
TAVO_UNLOCKING(sem_post, sem_t)

// Reader-writer locks: rw_locks.cpp.
#define TAVO_RWLOCKING(name, locked, ...)                                                \
    TAVO_FRONT int name(pthread_rwlock_t* lock __VA_OPT__(, ) __VA_ARGS__) {             \
        REAL(name);                                                                      \
        const std::uint64_t site = CALLER;                                               \
        uses_object(lock, site);                                                         \
        const int status = real_##name(lock __VA_OPT__(, TAVO_LOCKING_ARGUMENTS));      \
        if (status == 0) locked(lock, site);                                             \
        return status;                                                                   \
    }
TAVO_RWLOCKING(pthread_rwlock_rdlock, read_locked)
TAVO_RWLOCKING(pthread_rwlock_tryrdlock, read_locked)
TAVO_RWLOCKING(pthread_rwlock_wrlock, write_locked)
TAVO_RWLOCKING(pthread_rwlock_trywrlock, write_locked)
#define TAVO_LOCKING_ARGUMENTS deadline
TAVO_RWLOCKING(pthread_rwlock_timedrdlock, read_locked, const struct timespec* deadline)
TAVO_RWLOCKING(pthread_rwlock_timedwrlock, write_locked, const struct timespec* deadline)
#undef TAVO_LOCKING_ARGUMENTS
#define TAVO_LOCKING_ARGUMENTS clock, deadline
TAVO_RWLOCKING(pthread_rwlock_clockrdlock, read_locked, clockid_t clock, const struct timespec* deadline)
TAVO_RWLOCKING(pthread_rwlock_clockwrlock, write_locked, clockid_t clock, const struct timespec* deadline)
#undef TAVO_LOCKING_ARGUMENTS

TAVO_FRONT int pthread_rwlock_unlock(pthread_rwlock_t* lock) {
    REAL(pthread_rwlock_unlock);
    const std::uint64_t site = CALLER;
    uses_object(lock, site);
    sync_on_address(rw_unlocking(lock), memory_order::release, site);
    return real_pthread_rwlock_unlock(lock);
}
TAVO_FRONT int pthread_rwlock_destroy(pthread_rwlock_t* lock) {
    REAL(pthread_rwlock_destroy);
    const std::uint64_t site = CALLER;
    writes_object(lock, site);
    sync_on_address(lock, memory_order::destroy, site);
    sync_on_address(readers_of(lock), memory_order::destroy, site);
    return real_pthread_rwlock_destroy(lock);
}

// Condition variables: the wait gives the mutex up and takes it again. The old ABI of the
// condition functions is still the default symbol, so the current one is asked for by version.
namespace {
// `wait()` is the real wait, which gives the mutex up and takes it again.
template <class Wait>
int condition_wait(const void* condition, const void* mutex, std::uint64_t site, Wait wait) noexcept {
    uses_object(condition, site);
    uses_object(mutex, site);
    sync_on_address(mutex, memory_order::release, site);
    const int status = wait();
    sync_on_address(condition, memory_order::acquire, site);
    sync_on_address(mutex, memory_order::acquire, site);
    return status;
}
void condition_signal(const void* condition, std::uint64_t site) noexcept {
    uses_object(condition, site);
    sync_on_address(condition, memory_order::release, site);
}
}  // namespace
// C and M: the condition and mutex types; version: the symbol version asked for, or nothing.
#define TAVO_WAITING(name, C, M, version, ...)                                                  \
    TAVO_FRONT int name(C* condition, M* mutex __VA_OPT__(, ) __VA_ARGS__) {                    \
        REAL(name, version);                                                                    \
        return condition_wait(condition, mutex, CALLER, [&] {                                   \
            return real_##name(condition, mutex __VA_OPT__(, TAVO_LOCKING_ARGUMENTS));          \
        });                                                                                     \
    }
#define TAVO_SIGNALLING(name, C, version)                                                \
    TAVO_FRONT int name(C* condition) {                                                  \
        REAL(name, version);                                                             \
        condition_signal(condition, CALLER);                                             \
        return real_##name(condition);                                                   \
    }
TAVO_WAITING(pthread_cond_wait, pthread_cond_t, pthread_mutex_t, "GLIBC_2.3.2")
#define TAVO_LOCKING_ARGUMENTS deadline
TAVO_WAITING(pthread_cond_timedwait, pthread_cond_t, pthread_mutex_t, "GLIBC_2.3.2", const struct timespec* deadline)
#undef TAVO_LOCKING_ARGUMENTS
// std::condition_variable's timed waits use the clock variant, which has one version only.
TAVO_FRONT int pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clock,
                                      const struct timespec* deadline) {
    REAL(pthread_cond_clockwait);
    return condition_wait(condition, mutex, CALLER, [&] { return real_pthread_cond_clockwait(condition, mutex, clock, deadline); });
}
TAVO_SIGNALLING(pthread_cond_signal, pthread_cond_t, "GLIBC_2.3.2")
TAVO_SIGNALLING(pthread_cond_broadcast, pthread_cond_t, "GLIBC_2.3.2")
TAVO_FRONT int pthread_cond_init(pthread_cond_t* condition, const pthread_condattr_t* attributes) {
    REAL(pthread_cond_init, "GLIBC_2.3.2");
    writes_object(condition, CALLER);
    return real_pthread_cond_init(condition, attributes);
}
TAVO_FRONT int pthread_cond_destroy(pthread_cond_t* condition) {
    REAL(pthread_cond_destroy, "GLIBC_2.3.2");
    writes_object(condition, CALLER);
    sync_on_address(condition, memory_order::destroy, CALLER);
    return real_pthread_cond_destroy(condition);
}

// Barriers: every arrival releases before waiting, every departure acquires after it, so each
// thread leaves with the work of all.
TAVO_FRONT int pthread_barrier_wait(pthread_barrier_t* barrier) {
    REAL(pthread_barrier_wait);
    const std::uint64_t site = CALLER;
    uses_object(barrier, site);
    sync_on_address(barrier, memory_order::release, site);
    const int status = real_pthread_barrier_wait(barrier);
    sync_on_address(barrier, memory_order::acquire, site);
    return status;
}

// Once: the initialiser's work is released when it returns, and every caller acquires it.
// `call(run)` calls the real once function with the wrapper that runs the initialiser.
namespace {
thread_local const void* running_once = nullptr;
thread_local void (*running_initialiser)() = nullptr;
void run_initialiser() {
    const void* once = running_once;
    running_initialiser();
    sync_on_address(once, memory_order::release, 0);
}
template <class Call>
void run_once(const void* once, void (*initialiser)(), std::uint64_t site, Call call) {
    const void* outer_once = running_once;
    void (*outer_initialiser)() = running_initialiser;
    running_once = once;
    running_initialiser = initialiser;
    call(run_initialiser);
    running_once = outer_once;
    running_initialiser = outer_initialiser;
    sync_on_address(once, memory_order::acquire, site);
}
}  // namespace

TAVO_FRONT int pthread_once(pthread_once_t* once, void (*initialiser)()) {
    REAL(pthread_once);
    int status = 0;
    run_once(once, initialiser, CALLER, [&](void (*run)()) { status = real_pthread_once(once, run); });
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

// C11 threads. The C library implements them over its own pthread functions by internal calls,
// which the interposers above never see, so each is interposed here with the same orderings.
#include <threads.h>

TAVO_FRONT int thrd_create(thrd_t* thread, thrd_start_t routine, void* argument) {
    REAL(thrd_create);
    return create_thread(thread, routine, argument, CALLER, [&](thrd_start_t start, void* with) {
        return real_thrd_create(thread, start, with);
    });
}

TAVO_FRONT int thrd_join(thrd_t thread, int* result) {
    REAL(thrd_join);
    return join_thread(thread, CALLER, [&] { return real_thrd_join(thread, result); });
}

TAVO_FRONT int thrd_detach(thrd_t thread) {
    REAL(thrd_detach);
    static_assert(thrd_success == 0);
    return detach_thread(thread, [&] { return real_thrd_detach(thread); });
}

#define TAVO_INIT_ARGUMENTS attributes
TAVO_INIT(mtx_init, mtx_t, int attributes)
#undef TAVO_INIT_ARGUMENTS
TAVO_LOCKING(mtx_lock, mtx_t)
TAVO_LOCKING(mtx_trylock, mtx_t)
#define TAVO_LOCKING_ARGUMENTS deadline
TAVO_LOCKING(mtx_timedlock, mtx_t, const struct timespec* deadline)
#undef TAVO_LOCKING_ARGUMENTS
TAVO_UNLOCKING(mtx_unlock, mtx_t)

TAVO_FRONT int cnd_init(cnd_t* condition) {
    REAL(cnd_init);
    writes_object(condition, CALLER);
    return real_cnd_init(condition);
}
TAVO_DESTROY(mtx_destroy, mtx_t, void)
TAVO_DESTROY(cnd_destroy, cnd_t, void)

TAVO_WAITING(cnd_wait, cnd_t, mtx_t, )
#define TAVO_LOCKING_ARGUMENTS deadline
TAVO_WAITING(cnd_timedwait, cnd_t, mtx_t, , const struct timespec* deadline)
#undef TAVO_LOCKING_ARGUMENTS

TAVO_SIGNALLING(cnd_signal, cnd_t, )
TAVO_SIGNALLING(cnd_broadcast, cnd_t, )

TAVO_FRONT void call_once(once_flag* once, void (*initialiser)()) {
    REAL(call_once);
    run_once(once, initialiser, CALLER, [&](void (*run)()) { real_call_once(once, run); });
}
