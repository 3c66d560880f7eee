// The shadow table and its cells' entries, created by threads at once.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "test_support.h"
#include "tsm/arena.h"
#include "tsm/shadow_table.h"

namespace {

struct table_fixture_t : ::testing::Test {
    tavo::shadow_table_t table;
    std::unique_ptr<tavo::arena_t> arena = std::make_unique<tavo::arena_t>();

    tavo::shadow_cell_t* cell(std::uint64_t granule) { return table.find_or_create(granule).cell; }
    // The granule's cell, holding an entry of `handle`.
    tavo::shadow_cell_t* entered(std::uint64_t granule, std::uint16_t handle) {
        tavo::shadow_cell_t* found = cell(granule);
        std::int32_t error_code = 0;
        if (found != nullptr) found->claim(handle, {}, 16, *arena, error_code);
        return found;
    }
};
using ShadowTable = table_fixture_t;

}  // namespace

TEST_F(ShadowTable, ThreadsMissingTheSameGranulesCreateEachLeafTableOnce) {
    constexpr int threads = 4, granules = 2000;
    std::vector<std::vector<tavo::shadow_cell_t*>> seen(threads, std::vector<tavo::shadow_cell_t*>(granules));
    test::run_together(threads, [&](int thread) {
        for (int index = 0; index < granules; ++index)
            seen[thread][index] = entered(static_cast<std::uint64_t>(index) * 4096 * 8 + 0x10000000,
                                          static_cast<std::uint16_t>(thread + 1));
    });
    for (int thread = 1; thread < threads; ++thread) EXPECT_EQ(seen[thread], seen[0]);
    EXPECT_EQ(table.census().cells, static_cast<std::size_t>(granules));
    EXPECT_EQ(table.census().leaf_tables, static_cast<std::size_t>(granules));
    for (tavo::shadow_cell_t* shared : seen[0]) EXPECT_EQ(shared->entry_count(), threads);
}

TEST_F(ShadowTable, TasksBeyondTheCellsSlotAppendOneBucketEach) {
    tavo::shadow_cell_t& shared = *cell(0x1000);
    std::int32_t error_code = 0;
    ASSERT_NE(shared.claim(1, {}, 16, *arena, error_code), nullptr);
    EXPECT_EQ(shared.bucket_count(), 0u);
    test::run_together(2, [&](int thread) {
        std::int32_t code = 0;
        const auto handle = static_cast<std::uint16_t>(2 + thread);
        EXPECT_NE(shared.claim(handle, {}, handle * 16u, *arena, code), nullptr);
    });
    EXPECT_EQ(shared.bucket_count(), 2u);
    EXPECT_EQ(shared.entry_count(), 3u);
    for (std::uint16_t handle = 1; handle <= 3; ++handle) EXPECT_EQ(tavo::own_entry(shared, handle), handle * 16u);
    EXPECT_EQ(tavo::own_entry(shared, 4), 0u);
}
