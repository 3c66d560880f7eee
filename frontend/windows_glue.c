/* Linked into the program by the Windows wrappers, with --wrap for each function below: mingw's
   std::mutex, std::condition_variable and std::call_once call the static threads library
   directly, past any import table, so their orderings come through here. */
#include <pthread.h>

void __tavo_glue_acquire(const void* object, void* site);
void __tavo_glue_release(const void* object, void* site);
void __tavo_glue_locked(const void* lock, void* site);
void __tavo_glue_unlocking(const void* lock, void* site);
void __tavo_glue_enter(void);
void __tavo_glue_leave(void);
void __tavo_glue_rw_locked(const void* lock, int exclusive, void* site);
void __tavo_glue_rw_unlocking(const void* lock, void* site);
int __tavo_glue_once(void* once, void (*initialiser)(void), int (*real)(void*, void (*)(void)), void* site);

#define SITE __builtin_return_address(0)

int __real_pthread_mutex_lock(pthread_mutex_t* mutex);
int __real_pthread_mutex_trylock(pthread_mutex_t* mutex);
int __real_pthread_mutex_timedlock(pthread_mutex_t* mutex, const struct timespec* deadline);
int __real_pthread_mutex_unlock(pthread_mutex_t* mutex);
int __real_pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex);
int __real_pthread_cond_timedwait(pthread_cond_t* condition, pthread_mutex_t* mutex, const struct timespec* deadline);
int __real_pthread_cond_signal(pthread_cond_t* condition);
int __real_pthread_cond_broadcast(pthread_cond_t* condition);
int __real_pthread_rwlock_rdlock(pthread_rwlock_t* lock);
int __real_pthread_rwlock_tryrdlock(pthread_rwlock_t* lock);
int __real_pthread_rwlock_wrlock(pthread_rwlock_t* lock);
int __real_pthread_rwlock_trywrlock(pthread_rwlock_t* lock);
int __real_pthread_rwlock_unlock(pthread_rwlock_t* lock);
int __real_pthread_once(pthread_once_t* once, void (*initialiser)(void));

int __wrap_pthread_mutex_lock(pthread_mutex_t* mutex) {
    __tavo_glue_enter();
    const int status = __real_pthread_mutex_lock(mutex);
    __tavo_glue_leave();
    if (status == 0) __tavo_glue_locked(mutex, SITE);
    return status;
}
int __wrap_pthread_mutex_trylock(pthread_mutex_t* mutex) {
    __tavo_glue_enter();
    const int status = __real_pthread_mutex_trylock(mutex);
    __tavo_glue_leave();
    if (status == 0) __tavo_glue_locked(mutex, SITE);
    return status;
}
int __wrap_pthread_mutex_timedlock(pthread_mutex_t* mutex, const struct timespec* deadline) {
    __tavo_glue_enter();
    const int status = __real_pthread_mutex_timedlock(mutex, deadline);
    __tavo_glue_leave();
    if (status == 0) __tavo_glue_locked(mutex, SITE);
    return status;
}
int __wrap_pthread_mutex_unlock(pthread_mutex_t* mutex) {
    __tavo_glue_unlocking(mutex, SITE);
    __tavo_glue_enter();
    const int status = __real_pthread_mutex_unlock(mutex);
    __tavo_glue_leave();
    return status;
}
int __wrap_pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    __tavo_glue_unlocking(mutex, SITE);
    __tavo_glue_enter();
    const int status = __real_pthread_cond_wait(condition, mutex);
    __tavo_glue_leave();
    __tavo_glue_acquire(condition, SITE);
    __tavo_glue_locked(mutex, SITE);
    return status;
}
int __wrap_pthread_cond_timedwait(pthread_cond_t* condition, pthread_mutex_t* mutex, const struct timespec* deadline) {
    __tavo_glue_unlocking(mutex, SITE);
    __tavo_glue_enter();
    const int status = __real_pthread_cond_timedwait(condition, mutex, deadline);
    __tavo_glue_leave();
    __tavo_glue_acquire(condition, SITE);
    __tavo_glue_locked(mutex, SITE);
    return status;
}
int __wrap_pthread_cond_signal(pthread_cond_t* condition) {
    __tavo_glue_release(condition, SITE);
    __tavo_glue_enter();
    const int status = __real_pthread_cond_signal(condition);
    __tavo_glue_leave();
    return status;
}
int __wrap_pthread_cond_broadcast(pthread_cond_t* condition) {
    __tavo_glue_release(condition, SITE);
    __tavo_glue_enter();
    const int status = __real_pthread_cond_broadcast(condition);
    __tavo_glue_leave();
    return status;
}

#define TAVO_RW_LOCKING(name, exclusive)                        \
    int __wrap_##name(pthread_rwlock_t* lock) {                  \
        __tavo_glue_enter();                                     \
        const int status = __real_##name(lock);                  \
        __tavo_glue_leave();                                     \
        if (status == 0) __tavo_glue_rw_locked(lock, exclusive, SITE); \
        return status;                                           \
    }
TAVO_RW_LOCKING(pthread_rwlock_rdlock, 0)
TAVO_RW_LOCKING(pthread_rwlock_tryrdlock, 0)
TAVO_RW_LOCKING(pthread_rwlock_wrlock, 1)
TAVO_RW_LOCKING(pthread_rwlock_trywrlock, 1)
int __wrap_pthread_rwlock_unlock(pthread_rwlock_t* lock) {
    __tavo_glue_rw_unlocking(lock, SITE);
    __tavo_glue_enter();
    const int status = __real_pthread_rwlock_unlock(lock);
    __tavo_glue_leave();
    return status;
}

/* The front end keeps the initialiser in its own thread-local storage: this program's is emulated
   with pthread_once itself. */
int __wrap_pthread_once(pthread_once_t* once, void (*initialiser)(void)) {
    return __tavo_glue_once(once, initialiser, (int (*)(void*, void (*)(void)))__real_pthread_once, SITE);
}
