/* tavo: run-time analysis of parallel programs. The exported C interface.
 *
 * Instrumented code calls the entries below; a debugger reads and writes the exported data
 * while the process is stopped in __tavo_switch_to_debugger. Every layout here is fixed: the
 * debugger reads the bytes, not the names. */
#ifndef TAVO_TAVO_H
#define TAVO_TAVO_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(TAVO_BUILDING_LIBRARY)
#    define TAVO_API __declspec(dllexport)
#    define TAVO_DATA __declspec(dllexport)
#  else
#    define TAVO_API
#    define TAVO_DATA __declspec(dllimport)
#  endif
#else
#  define TAVO_API __attribute__((visibility("default")))
#  define TAVO_DATA __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#define TAVO_STATIC_ASSERT static_assert
#else
#define TAVO_STATIC_ASSERT _Static_assert
#endif

/* Configuration block: written by the debugger, polled by the library. */
typedef struct tavo_config_t {
    uint32_t version;      /* must read TAVO_CONFIG_VERSION; the library restores it */
    uint32_t request;      /* TAVO_REQUEST_* bits; the library clears each when done */
    uint32_t flags;        /* TAVO_FLAG_* bits */
    uint32_t filter_count; /* filter records in the buffer; counted down while applied */
} tavo_config_t;

#define TAVO_CONFIG_VERSION 3u

#define TAVO_REQUEST_RESET_TSM      0x00000001u
#define TAVO_REQUEST_RESET_RE       0x00000002u
#define TAVO_REQUEST_PING           0x20000000u
#define TAVO_REQUEST_APPLY_FILTERS  0x40000000u
#define TAVO_REQUEST_ALLOCATE       0x80000000u

#define TAVO_FLAG_TSM               0x00000001u
#define TAVO_FLAG_RE                0x00000002u
#define TAVO_FLAG_ALWAYS_CONCURRENT 0x08000000u
#define TAVO_FLAG_NO_TASK_FILTER    0x10000000u
#define TAVO_FLAG_IGNORE_ATOMICS    0x20000000u
#define TAVO_FLAG_IGNORE_READS      0x40000000u

/* Active-mask bits (__TAVO_isGuardedCall): which entry families do work. */
#define TAVO_ACTIVE_MASTER   0x01u
#define TAVO_ACTIVE_WRITES   0x02u
#define TAVO_ACTIVE_FUNCTION 0x04u
#define TAVO_ACTIVE_ATOMICS  0x08u
#define TAVO_ACTIVE_READS    0x10u
#define TAVO_ACTIVE_SYNC     0x40u

/* Filter record: 24 bytes in the filter buffer. */
typedef struct tavo_filter_record_t {
    uint8_t feature;   /* 1 tsm, 2 re */
    uint8_t unused1;
    uint8_t target;    /* low 4 bits: 1 code, 2 data, 4 task, 8 polarity, 15 all */
    uint8_t operation; /* low 4 bits: 1 clear, 2 add, 3 focus, 4 remove, 5 suppress */
    uint8_t unused4[4];
    uint64_t first;    /* range base, or task value */
    uint64_t second;   /* range length in the low 32 bits */
} tavo_filter_record_t;

/* One access in a detection of data sharing: 40 bytes. */
typedef struct tavo_access_t {
    uint32_t access_type; /* 0 read, 1 write, 2 update, 3 atomic update; 4 atomic read (front ends) */
    uint32_t size;
    uint64_t address;
    uint32_t task_type;
    uint32_t padding;
    uint64_t task_id;
    uint64_t code_address;
} tavo_access_t;

/* One task in a detection of a reentrant call: 16 bytes. */
typedef struct tavo_offense_t {
    uint32_t task_type;
    uint32_t padding;
    uint64_t task_id;
} tavo_offense_t;

typedef struct tavo_sharing_detection_t { /* reason 256 */
    uint64_t site;
    tavo_access_t offending;
    uint64_t offended_count;
    tavo_access_t *offended;
} tavo_sharing_detection_t;

typedef struct tavo_reentrancy_detection_t { /* reason 257 */
    uint64_t site;
    uint64_t function;
    uint64_t offense_count;
    tavo_offense_t *offenses;
    uint8_t unused[32];
} tavo_reentrancy_detection_t;

/* Detection record: 64 bytes; the site is set by every report. */
typedef union tavo_detection_t {
    uint64_t site;
    tavo_sharing_detection_t sharing;
    tavo_reentrancy_detection_t reentrancy;
} tavo_detection_t;

/* Event reasons (__tavo_event_reason); negative values are error codes. */
#define TAVO_EVENT_NONE                 0
#define TAVO_EVENT_LOADED               1
#define TAVO_EVENT_UNLOADED             2
#define TAVO_EVENT_CONFIGURATION_UPDATED 3
#define TAVO_EVENT_PING_ANSWER          4
#define TAVO_EVENT_HANDSHAKE            5
#define TAVO_EVENT_DATA_SHARING         256
#define TAVO_EVENT_REENTRANT_CALL       257

TAVO_STATIC_ASSERT(sizeof(tavo_config_t) == 16, "configuration block");
TAVO_STATIC_ASSERT(offsetof(tavo_config_t, flags) == 8, "flags word");
TAVO_STATIC_ASSERT(sizeof(tavo_filter_record_t) == 24, "filter record");
TAVO_STATIC_ASSERT(offsetof(tavo_filter_record_t, target) == 2, "filter target");
TAVO_STATIC_ASSERT(offsetof(tavo_filter_record_t, operation) == 3, "filter operation");
TAVO_STATIC_ASSERT(offsetof(tavo_filter_record_t, first) == 8, "filter first operand");
TAVO_STATIC_ASSERT(offsetof(tavo_filter_record_t, second) == 16, "filter second operand");
TAVO_STATIC_ASSERT(sizeof(tavo_access_t) == 40, "access descriptor");
TAVO_STATIC_ASSERT(offsetof(tavo_access_t, address) == 8, "access address");
TAVO_STATIC_ASSERT(offsetof(tavo_access_t, task_type) == 16, "access task type");
TAVO_STATIC_ASSERT(offsetof(tavo_access_t, task_id) == 24, "access task id");
TAVO_STATIC_ASSERT(offsetof(tavo_access_t, code_address) == 32, "access code address");
TAVO_STATIC_ASSERT(sizeof(tavo_offense_t) == 16, "offenses entry");
TAVO_STATIC_ASSERT(offsetof(tavo_offense_t, task_id) == 8, "offense task id");
TAVO_STATIC_ASSERT(sizeof(tavo_detection_t) == 64, "detection record");
TAVO_STATIC_ASSERT(offsetof(tavo_sharing_detection_t, offending) == 8, "offending access");
TAVO_STATIC_ASSERT(offsetof(tavo_sharing_detection_t, offended_count) == 48, "offended count");
TAVO_STATIC_ASSERT(offsetof(tavo_sharing_detection_t, offended) == 56, "offended list");
TAVO_STATIC_ASSERT(offsetof(tavo_reentrancy_detection_t, function) == 8, "function address");
TAVO_STATIC_ASSERT(offsetof(tavo_reentrancy_detection_t, offense_count) == 16, "offense count");
TAVO_STATIC_ASSERT(offsetof(tavo_reentrancy_detection_t, offenses) == 24, "offenses list");

/* Exported data. */
extern TAVO_DATA tavo_config_t __tavo_config;
extern TAVO_DATA tavo_filter_record_t *__tavo_filter_space;
extern TAVO_DATA int32_t __tavo_event_reason;
extern TAVO_DATA tavo_detection_t __tavo_current_detection;
extern TAVO_DATA uint32_t __TAVO_isGuardedCall;

/* The debugger stops here (breakpoint, or the exception it raises on Windows). */
TAVO_API void __tavo_switch_to_debugger(void);

/* Memory accesses. */
TAVO_API void _TAVO_readMemory(const void *address, uint32_t size);
TAVO_API void _TAVO_writeMemory(const void *address, uint32_t size);
TAVO_API void _TAVO_updateMemory(const void *address, uint32_t size);
TAVO_API void _TAVO_atomicUpdate(const void *address, uint32_t size);

/* Watched functions. */
TAVO_API void _TAVO_enterFunction(const void *function, const void *frame);
TAVO_API void _TAVO_leaveFunction(const void *function, const void *frame);

/* Tasks: type 1 initial task, 2 openmp task, 3 native thread. */
TAVO_API void _TAVO_enterGenericTask(int32_t task_type, uint64_t task_id);
TAVO_API void _TAVO_enterGenericTaskFrom(int32_t task_type, uint64_t task_id, uint64_t site);
TAVO_API void _TAVO_leaveGenericTask(int32_t task_type, uint64_t task_id);
TAVO_API void _TAVO_leaveGenericTaskFrom(int32_t task_type, uint64_t task_id, uint64_t site);
TAVO_API void _TAVO_activateTaskType(uint32_t task_type);

/* Synchronisation: sync types 0 to 8. */
TAVO_API void _TAVO_syncAcquire(uint32_t sync_type, uint64_t sync_id);
TAVO_API void _TAVO_syncRelease(uint32_t sync_type, uint64_t sync_id);
TAVO_API void _TAVO_syncAcquireWeak(uint32_t sync_type, uint64_t sync_id);
TAVO_API void _TAVO_syncReleaseWeak(uint32_t sync_type, uint64_t sync_id);
TAVO_API void _TAVO_syncDestroy(uint32_t sync_type, uint64_t sync_id);
TAVO_API void _TAVO_syncAlias(uint32_t sync_type, uint64_t sync_id, uint32_t target_type, uint64_t target_id);
TAVO_API uint64_t _TAVO_syncAllocate(void);

/* Fork, join and task wait. */
TAVO_API uint64_t _TAVO_syncForkTask(int32_t task_type, uint64_t task_id);
TAVO_API uint64_t _TAVO_syncForkTaskCurrent(void);
TAVO_API uint64_t _TAVO_syncForkTaskNowait(void);
TAVO_API void _TAVO_syncJoin(uint64_t sync_id);
TAVO_API void _TAVO_syncTaskwait(int32_t task_type, uint64_t task_id);
TAVO_API void _TAVO_syncTaskwaitCurrent(void);

/* Warnings of the program's own: usage codes -50000 to -10001. */
TAVO_API void _TAVO_warn(int32_t code);
TAVO_API void _TAVO_warnFrom(int32_t code, uint64_t site);

/* Notification interface: synchronisation objects named by address. */
TAVO_API void __zuk_sync_acquired(void *object);
TAVO_API void __zuk_notify_sync_acquired(void *object);
TAVO_API void __zuk_sync_releasing(void *object);
TAVO_API void __zuk_notify_sync_releasing(void *object);
TAVO_API void __zuk_sync_destroy(void *object);
TAVO_API int32_t __zuk_api_version(void);
TAVO_API void __zuk_sync_createA(void *object, const char *type, const char *name, int attribute);
TAVO_API void __zuk_sync_createW(void *object, const wchar_t *type, const wchar_t *name, int attribute);
TAVO_API void __zuk_sync_renameA(void *object, const char *name);
TAVO_API void __zuk_sync_renameW(void *object, const wchar_t *name);
TAVO_API void __zuk_sync_set_nameA(void *object, const char *type, const char *name, int attribute);
TAVO_API void __zuk_sync_set_nameW(void *object, const wchar_t *type, const wchar_t *name, int attribute);
TAVO_API void __zuk_notify_sync_nameA(void *object, const char *type, const char *name, int attribute);
TAVO_API void __zuk_notify_sync_nameW(void *object, const wchar_t *type, const wchar_t *name, int attribute);
TAVO_API void __zuk_sync_prepare(void *object);
TAVO_API void __zuk_notify_sync_prepare(void *object);
TAVO_API void __zuk_sync_cancel(void *object);
TAVO_API void __zuk_notify_sync_cancel(void *object);

#ifdef __cplusplus
}
#endif

#endif
