// The plain access entries, built without a frame pointer: a repeat then runs no prologue at all.
#include <cstdint>

#include "frontend/frontend.h"
#include "tavo/tavo.h"

using namespace tavo;
using namespace tavo::frontend;

#define TAVO_FRONT extern "C" TAVO_API
#define CALLER site_of(__builtin_return_address(0))

// Out of line, as the entries would otherwise keep registers for their calls.
[[gnu::noinline]] void tavo::frontend::finish_plain_access(plain_rest_t rest, const void* address, std::uint32_t size, std::uint32_t type) noexcept {
    quick_part_to_library();
    plain_access_rest(rest, address, size, type, quick_part_site());
    if (leave_library_quietly()) [[unlikely]] deliver_deferred_signals();
}

[[gnu::noinline]] void tavo::frontend::take_whole_way(const void* address, std::uint32_t size, std::uint32_t type, std::uint64_t site) noexcept {
    quick_part_to_library();
    if (ready.load(std::memory_order_relaxed)) access_from(address, size, type, site);
    if (leave_library_quietly()) [[unlikely]] deliver_deferred_signals();
}

#define TAVO_ACCESSES(size)                                                                              \
    TAVO_FRONT void __tsan_read##size(void* a) { access(a, size, read_access, CALLER); }                 \
    TAVO_FRONT void __tsan_write##size(void* a) { access(a, size, write_access, CALLER); }               \
    TAVO_FRONT void __tsan_unaligned_read##size(void* a) { access(a, size, read_access, CALLER); }       \
    TAVO_FRONT void __tsan_unaligned_write##size(void* a) { access(a, size, write_access, CALLER); }     \
    TAVO_FRONT void __tsan_volatile_read##size(void* a) { access(a, size, read_access, CALLER); }        \
    TAVO_FRONT void __tsan_volatile_write##size(void* a) { access(a, size, write_access, CALLER); }      \
    TAVO_FRONT void __tsan_unaligned_volatile_read##size(void* a) { access(a, size, read_access, CALLER); } \
    TAVO_FRONT void __tsan_unaligned_volatile_write##size(void* a) { access(a, size, write_access, CALLER); } \
    TAVO_FRONT void __tsan_read_write##size(void* a) { access(a, size, update_access, CALLER); }          \
    TAVO_FRONT void __tsan_unaligned_read_write##size(void* a) { access(a, size, update_access, CALLER); } \
    TAVO_FRONT void __tsan_read##size##_pc(void* a, void* pc) { access(a, size, read_access, site_of(pc)); } \
    TAVO_FRONT void __tsan_write##size##_pc(void* a, void* pc) { access(a, size, write_access, site_of(pc)); }

TAVO_ACCESSES(1)
TAVO_ACCESSES(2)
TAVO_ACCESSES(4)
TAVO_ACCESSES(8)
TAVO_ACCESSES(16)

TAVO_FRONT void __tsan_read_range(void* a, unsigned long size) { access(a, size, read_access, CALLER); }
TAVO_FRONT void __tsan_write_range(void* a, unsigned long size) { access(a, size, write_access, CALLER); }
TAVO_FRONT void __tsan_read_range_pc(void* a, unsigned long size, void* pc) { access(a, size, read_access, site_of(pc)); }
TAVO_FRONT void __tsan_write_range_pc(void* a, unsigned long size, void* pc) { access(a, size, write_access, site_of(pc)); }

// A virtual table pointer store races like any write, unless it stores the value already there
// (constructors and destructors of a base class rewrite it with the same value).
TAVO_FRONT void __tsan_vptr_update(void** vp, void* value) {
    if (*vp != value) access(vp, sizeof(void*), write_access, CALLER);
}
TAVO_FRONT void __tsan_vptr_read(void** vp) { access(vp, sizeof(void*), read_access, CALLER); }
