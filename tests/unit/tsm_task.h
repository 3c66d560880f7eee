// A task made by hand for the detector's tests: registered, with a handle, its accesses going
// straight to the detector.
#pragma once

#include <cstdint>

#include "runtime/runtime.h"
#include "task/task_context.h"
#include "task/task_table.h"
#include "tsm/access_record.h"

namespace test {

class task_t {
public:
    task_t(std::int32_t type, std::uint64_t id)
        : handle(tavo::allocate_task_handle()), context(*tavo::new_task_context(type, id, handle, nullptr)) {
        tavo::register_task(handle, &context);
    }
    ~task_t() {
        tavo::runtime.tsm.forget_task(context);
        tavo::unregister_task(handle);
        tavo::free_task_handle(handle);
        tavo::delete_task_context(&context);
    }
    void access(std::uint32_t type, std::uint64_t address, std::uint32_t size, std::uint64_t site = 0x500) {
        tavo::runtime.tsm.check_access(context, address, size, type, site);
    }
    // Whether this task has a record of type `type` in the granule.
    bool recorded(std::uint32_t type, std::uint64_t granule) {
        tavo::shadow_cell_t* cell = tavo::runtime.tsm.table.find_or_create(granule).cell;
        const std::uint64_t entry = tavo::own_entry(*cell, handle);
        if (tavo::is_inline(entry)) return tavo::inline_type(entry) == type;
        return entry != 0 && tavo::entry_head(entry, type) != nullptr;
    }
    void knows(const task_t& other, std::uint64_t time) { context.clock.raise_to(other.handle, time, tavo::runtime.arena); }

    std::uint16_t handle;
    tavo::task_context_t& context;
};

}  // namespace test
