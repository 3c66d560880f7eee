// The library's own heap. Everything the library keeps comes from the operating system through
// the platform layer, never from the program's allocator: a program that corrupts its heap,
// replaces malloc or calls in from an allocation hook can neither corrupt nor re-enter us.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavo {

constexpr std::size_t heap_alignment = 16;

// `size` bytes aligned to 16, not cleared; null on failure. Never throws.
void* heap_allocate(std::size_t size) noexcept;
// `size` is the size the memory was allocated with; null is ignored.
void heap_free(void* memory, std::size_t size) noexcept;

// For tests: the allocation after this many more succeed fails, once; negative: none fails.
extern std::atomic<long> allocations_before_failure;

// The standard containers' allocator over the library's heap. It throws std::bad_alloc, as the
// containers expect; every use catches it and reports out of memory, so nothing escapes.
template <class T>
struct allocator_t {
    static_assert(alignof(T) <= heap_alignment);
    using value_type = T;

    allocator_t() noexcept = default;
    template <class U>
    allocator_t(const allocator_t<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        if (void* memory = heap_allocate(count * sizeof(T))) return static_cast<T*>(memory);
        throw std::bad_alloc();
    }
    void deallocate(T* memory, std::size_t count) noexcept { heap_free(memory, count * sizeof(T)); }

    template <class U>
    bool operator==(const allocator_t<U>&) const noexcept {
        return true;
    }
};

template <class Key, class Value, class Order = std::less<Key>>
using map_t = std::map<Key, Value, Order, allocator_t<std::pair<const Key, Value>>>;
template <class Key, class Order = std::less<Key>>
using set_t = std::set<Key, Order, allocator_t<Key>>;
template <class T>
using deque_t = std::deque<T, allocator_t<T>>;
template <class T>
using vector_t = std::vector<T, allocator_t<T>>;
template <class Key, class Value, class Hash = std::hash<Key>>
using unordered_map_t = std::unordered_map<Key, Value, Hash, std::equal_to<Key>, allocator_t<std::pair<const Key, Value>>>;

// A T constructed in the library's heap, or null when there is no memory; free it with heap_delete.
template <class T, class... Arguments>
T* heap_new(Arguments&&... arguments) noexcept {
    void* memory = heap_allocate(sizeof(T));
    return memory != nullptr ? new (memory) T{std::forward<Arguments>(arguments)...} : nullptr;
}

// Destroys and frees an object that was constructed in heap_allocate(sizeof(T)).
template <class T>
void heap_delete(T* object) noexcept {
    if (object == nullptr) return;
    object->~T();
    heap_free(const_cast<std::remove_const_t<T>*>(object), sizeof(T));
}

struct heap_deleter_t {
    template <class T>
    void operator()(T* object) const noexcept {
        heap_delete(object);
    }
};

// A T built with the library and never destroyed: threads that still run while the process exits
// may use it after the library's destructors have run, so it is left for the system to reclaim.
template <class T>
union immortal_t {
    T object;
    immortal_t() noexcept : object() {}
    ~immortal_t() {}
};

}  // namespace tavo
