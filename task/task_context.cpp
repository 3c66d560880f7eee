#include "task/task_context.h"

#include <new>

#include "runtime/errors.h"
#include "runtime/memory.h"
#include "tsm/touched_cells.h"

namespace tavo {

task_context_t::task_context_t(std::int32_t task_type, std::uint64_t task_id, std::uint16_t task_handle,
                               task_context_t* parent_task) noexcept
    : shadow(static_cast<task_shadow_t*>(arena.allocate(sizeof(task_shadow_t)))),
      parent(parent_task),
      wait_list(nullptr),
      clock(),
      time(1),
      type(task_type),
      id(task_id),
      handle(task_handle),
      flags(parent_task != nullptr ? parent_task->flags : 0) {
    if (shadow != nullptr) new (shadow) task_shadow_t;
}

task_context_t* new_task_context(std::int32_t type, std::uint64_t id, std::uint16_t handle,
                                 task_context_t* parent) noexcept {
    void* memory = heap_allocate(sizeof(task_context_t));
    if (memory == nullptr) {
        raise_system_error_at_thread_site(error::out_of_memory);
        return nullptr;
    }
    return new (memory) task_context_t(type, id, handle, parent);
}

void delete_task_context(task_context_t* task) noexcept {
    task->~task_context_t();
    heap_free(task, sizeof(task_context_t));
}

}  // namespace tavo
