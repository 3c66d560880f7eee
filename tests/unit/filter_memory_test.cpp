// Heap exhaustion at every allocation a batch makes: the global allocation functions of this test
// program fail on demand, for the calling thread only.
#include <cstdlib>
#include <new>

#include "filter_batch_fixture.h"

// Clang links its sanitizer runtimes statically, and they define the allocation functions.
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
}  // namespace

#if ALLOCATION_FUNCTIONS_REPLACEABLE
namespace {
void* allocate(std::size_t size) {
    if (allocations_before_failure == 0) throw std::bad_alloc();
    if (allocations_before_failure > 0) --allocations_before_failure;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

void* allocate_or_null(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
#endif

namespace tavo {
namespace {

using FilterBatchMemory = filter_batch_fixture_t;
using namespace filter_target;
using namespace filter_operation;

TEST_F(FilterBatchMemory, ExhaustionAnywhereInstallsNothingAndReportsOutOfMemory) {
    if (!ALLOCATION_FUNCTIONS_REPLACEABLE) GTEST_SKIP() << "the sanitizer runtime owns the allocation functions";
    ASSERT_EQ(apply({filter_record(filter_feature::tsm, code, add, 0x1000, 0x100),
                     filter_record(filter_feature::tsm, data, add, 0x8000, 0x100)}),
              TAVO_EVENT_CONFIGURATION_UPDATED);
    const filter_object_t* installed = filter_of(0);
    // Copies the installed tsm object, creates the re object, inserts into every kind of set.
    write({filter_record(filter_feature::re, task, add, 5), filter_record(filter_feature::tsm, code, add, 0x3000, 1),
           filter_record(filter_feature::tsm, data, add, 0x9000, 1), filter_record(filter_feature::tsm, task, add, 6)});
    long failing_allocation = 0;
    for (;; ++failing_allocation) {
        allocations_before_failure = failing_allocation;
        const std::int32_t result = reapply(4);
        allocations_before_failure = -1;
        if (result == TAVO_EVENT_CONFIGURATION_UPDATED) break;
        ASSERT_EQ(result, error::out_of_memory) << failing_allocation;
        EXPECT_EQ(__tavo_config.request, TAVO_REQUEST_APPLY_FILTERS);
        EXPECT_GE(__tavo_config.filter_count, 1u);
        EXPECT_EQ(filter_of(0), installed);
        EXPECT_EQ(filter_of(1), nullptr);
    }
    EXPECT_GE(failing_allocation, 8);  // two objects, two copied and four new set nodes at least
    EXPECT_EQ(installed->code.size(), 1u);
    EXPECT_EQ(filter_of(0)->code.size(), 2u);
    EXPECT_EQ(filter_of(0)->data.size(), 2u);
    EXPECT_EQ(filter_of(1)->tasks.size(), 1u);
}

}  // namespace
}  // namespace tavo
