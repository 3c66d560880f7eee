/* For C++ programs only, beside windows_glue.c: static-local guards. The inline check reads the
   guard with an acquiring load, which meets the release here. */
void __tavo_glue_acquire(const void* object, void* site);
void __tavo_glue_release(const void* object, void* site);

#define SITE __builtin_return_address(0)

int __real___cxa_guard_acquire(long long* guard);
void __real___cxa_guard_release(long long* guard);

int __wrap___cxa_guard_acquire(long long* guard) {
    const int status = __real___cxa_guard_acquire(guard);
    if (status == 0) __tavo_glue_acquire(guard, SITE);
    return status;
}
void __wrap___cxa_guard_release(long long* guard) {
    __tavo_glue_release(guard, SITE);
    __real___cxa_guard_release(guard);
}
