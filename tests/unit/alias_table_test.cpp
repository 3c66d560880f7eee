// The alias tables: resolution reads a table's size without the alias lock, while other threads
// make and destroy aliases under it. Under ThreadSanitizer this is where an unlocked read of the
// map itself would show.
#include <gtest/gtest.h>

#include <atomic>

#include "sync/sync_object.h"
#include "test_support.h"

TEST(AliasTable, ResolvingWhileAnotherThreadMakesAndDestroysAliases) {
    constexpr tavo::sync_object_t target{4, 7};
    std::atomic<bool> done{false};
    test::run_together(2, [&](int worker) {
        if (worker == 0) {
            for (std::uint64_t round = 0; round < 20000; ++round) {
                tavo::record_alias({2, round % 4}, target);
                tavo::remove_alias({2, round % 4});
            }
            done = true;
            return;
        }
        while (!done.load()) {
            const tavo::sync_object_t resolved = tavo::resolve({2, 1});
            // Either the pair itself or its target, never anything in between.
            ASSERT_TRUE(resolved == (tavo::sync_object_t{2, 1}) || resolved == target);
        }
    });
    EXPECT_EQ(tavo::resolve({2, 1}), (tavo::sync_object_t{2, 1}));
    EXPECT_TRUE(test::take_raised_errors().empty());
}
