// Heap exhaustion on demand for the calling thread: the next allocation after
// `allocations_before_failure` more succeed throws std::bad_alloc, once. Include from one file per
// test executable. Clang links its sanitizer runtimes statically, with allocation functions of
// their own that cannot be replaced; tests check ALLOCATION_FUNCTIONS_REPLACEABLE.
#pragma once

#include <cstdlib>
#include <new>

#if defined(__clang__)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ALLOCATION_FUNCTIONS_REPLACEABLE 0
#endif
#endif
#ifndef ALLOCATION_FUNCTIONS_REPLACEABLE
#define ALLOCATION_FUNCTIONS_REPLACEABLE 1
#endif

namespace {
thread_local long allocations_before_failure = -1;  // negative: never fail
}

#if ALLOCATION_FUNCTIONS_REPLACEABLE
void* operator new(std::size_t size) {
    if (allocations_before_failure == 0) {
        allocations_before_failure = -1;
        throw std::bad_alloc();
    }
    if (allocations_before_failure > 0) --allocations_before_failure;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#endif
