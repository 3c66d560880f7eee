#include "filter/filter_object.h"

#include <new>

namespace tavo {

// Some standard libraries allocate even for an empty set, so construction itself may throw.
filter_object_t* new_filter_object(std::uint32_t polarity) noexcept {
    void* memory = heap_allocate(sizeof(filter_object_t));
    if (memory == nullptr) return nullptr;
    try {
        auto* filter = new (memory) filter_object_t;
        filter->polarity = polarity;
        return filter;
    } catch (const std::bad_alloc&) {
        heap_free(memory, sizeof(filter_object_t));
        return nullptr;
    }
}

filter_object_t* copy_filter_object(const filter_object_t& original) noexcept {
    void* memory = heap_allocate(sizeof(filter_object_t));
    if (memory == nullptr) return nullptr;
    try {
        return new (memory) filter_object_t{original.code, original.data, original.tasks, original.polarity, nullptr};
    } catch (const std::bad_alloc&) {
        heap_free(memory, sizeof(filter_object_t));
        return nullptr;
    }
}

}  // namespace tavo
