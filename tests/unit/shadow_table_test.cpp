// The shadow table's growth, and its cells' entries.
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

    tavo::shadow_cell_t* cell(std::uint64_t granule) { return table.find_or_create(granule, *arena).cell; }
};
using ShadowTable = table_fixture_t;

constexpr std::uint64_t mib8 = std::uint64_t{1} << 23;

}  // namespace

TEST_F(ShadowTable, GrowsOneLevelAtATimeAndKeepsRegionsSorted) {
    tavo::shadow_cell_t* first = cell(3 * mib8);
    EXPECT_EQ(table.census().regions, 1u);
    EXPECT_EQ(table.census().leaf_tables, 1u);
    EXPECT_EQ(cell(3 * mib8 + 8), cell(3 * mib8 + 8));
    EXPECT_NE(cell(3 * mib8 + 8), first);
    EXPECT_EQ(cell(3 * mib8), first);
    cell(3 * mib8 + 8192);  // the next leaf table of the same directory
    EXPECT_EQ(table.census().leaf_tables, 2u);
    EXPECT_EQ(table.census().cells, 3u);
    cell(mib8);
    cell(5 * mib8);
    cell(2 * mib8 + mib8 - 8);
    std::vector<std::uint64_t> bases;
    table.for_each_region([&](const tavo::shadow_region_t& region) { bases.push_back(region.base); });
    EXPECT_EQ(bases, (std::vector<std::uint64_t>{mib8, 2 * mib8, 3 * mib8, 5 * mib8}));
    table.release();
    EXPECT_EQ(table.census().regions, 0u);
}

TEST_F(ShadowTable, ThreadsMissingTheSameGranulesCreateEachCellOnce) {
    constexpr int threads = 4, granules = 2000;
    std::vector<std::vector<tavo::shadow_cell_t*>> seen(threads, std::vector<tavo::shadow_cell_t*>(granules));
    test::run_together(threads, [&](int thread) {
        for (int index = 0; index < granules; ++index)
            seen[thread][index] = cell(static_cast<std::uint64_t>(index) * 4096 * 8 + 0x10000000);
    });
    for (int thread = 1; thread < threads; ++thread) EXPECT_EQ(seen[thread], seen[0]);
    EXPECT_EQ(table.census().cells, static_cast<std::size_t>(granules));
}

TEST_F(ShadowTable, TasksBeyondEightAppendOneBucketBetweenThem) {
    tavo::shadow_cell_t& shared = *cell(0x1000);
    std::int32_t error_code = 0;
    for (std::uint16_t handle = 1; handle <= 8; ++handle)
        ASSERT_TRUE(shared.claim_unreported(handle, handle * 16u, *arena, error_code));
    EXPECT_EQ(shared.bucket_count(), 1u);
    test::run_together(2, [&](int thread) {
        std::int32_t code = 0;
        const auto handle = static_cast<std::uint16_t>(9 + thread);
        EXPECT_TRUE(shared.claim_unreported(handle, handle * 16u, *arena, code));
    });
    EXPECT_EQ(shared.bucket_count(), 2u);
    EXPECT_EQ(shared.entry_count(), 10u);
    for (std::uint16_t handle = 1; handle <= 10; ++handle) EXPECT_EQ(tavo::own_entry(shared, handle), handle * 16u);
    EXPECT_EQ(tavo::own_entry(shared, 11), 0u);
}
