// The detector's structures where the differential streams do not reach: the arena and the shadow
// table under threads at once, and the access check against tasks made by hand with long offended
// lists, forgotten and released ranges, and an exhausted arena.
#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "test_support.h"
#include "tsm/access_record.h"
#include "tsm/arena.h"
#include "tsm/shadow_table.h"
#include "tsm/touched_cells.h"

namespace {

namespace access_type = tavo::access_type;
using tavo::arena_t;
using test::task_t;

TEST(Arena, ThreadsExhaustingOneSegmentInstallExactlyOne) {
    constexpr int threads = 4;
    for (int round = 0; round < 20; ++round) {
        auto arena = std::make_unique<arena_t>();
        arena->allocate(65504);
        std::vector<std::byte*> got(threads);
        test::run_together(threads, [&](int t) { got[t] = static_cast<std::byte*>(arena->allocate(24)); });
        ASSERT_EQ(arena->segment_count(), 2u);
        std::sort(got.begin(), got.end());
        const auto* first_segment = reinterpret_cast<const std::byte*>(arena.get());
        ASSERT_FALSE(got[0] >= first_segment && got[0] < first_segment + tavo::arena_segment_size);
        for (int t = 1; t < threads; ++t) ASSERT_EQ(got[t], got[t - 1] + 24);
    }
}

// Heap segments are carved from chunks, which past the first 2 MiB are huge pages where the system
// offers them: forty segments, across chunks, are each the arena's own, and so are those recycled
// after a rewind.
TEST(Arena, SegmentsBeyondOneHeapChunkAreEachTheirOwn) {
    const auto arena = std::make_unique<arena_t>();
    constexpr int segments = 40;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::byte*> areas;
        for (int index = 0; index < segments; ++index) {
            areas.push_back(static_cast<std::byte*>(arena->allocate(tavo::arena_area_size)));
            ASSERT_NE(areas.back(), nullptr);
            std::memset(areas.back(), index, tavo::arena_area_size);
        }
        for (int index = 0; index < segments; ++index)
            EXPECT_EQ(std::count(areas[index], areas[index] + tavo::arena_area_size, static_cast<std::byte>(index)),
                      tavo::arena_area_size);
        arena->rewind();
    }
}

TEST(ShadowTable, TasksBeyondTheCellsSlotAppendOneBucketEach) {
    tavo::shadow_table_t table;
    const auto arena = std::make_unique<arena_t>();
    tavo::shadow_cell_t& shared = *table.find_or_create(0x1000).cell;
    std::int32_t error_code = 0;
    tavo::bucket_chunk_t chunks[3];
    ASSERT_NE(shared.claim(1, {}, 16, chunks[0], *arena, error_code), nullptr);
    EXPECT_EQ(shared.bucket_count(), 0u);
    test::run_together(2, [&](int thread) {
        std::int32_t code = 0;
        const auto handle = static_cast<std::uint16_t>(2 + thread);
        EXPECT_NE(shared.claim(handle, {}, handle * 16u, chunks[1 + thread], *arena, code), nullptr);
    });
    EXPECT_EQ(shared.bucket_count(), 2u);
    EXPECT_EQ(shared.entry_count(), 3u);
    for (std::uint16_t handle = 1; handle <= 3; ++handle) EXPECT_EQ(tavo::own_entry(shared, handle), handle * 16u);
    EXPECT_EQ(tavo::own_entry(shared, 4), 0u);
}

// Spans the program streams through take their tables from shared areas: each span keeps a fresh
// table of its own, past the end of an area and after a release.
TEST(ShadowTable, StreamedSpansKeepFreshTablesOfTheirOwn) {
    tavo::shadow_table_t table;
    constexpr std::uint64_t span = 8192;
    constexpr std::uint64_t spans = 1500;  // beyond one area
    for (int round = 0; round < 2; ++round) {
        std::set<tavo::leaf_table_t*> tables;
        for (std::uint64_t granule = 0x40000000; granule < 0x40000000 + spans * span; granule += span) {
            const tavo::cell_lookup_t first = table.find_or_create(granule);
            ASSERT_NE(first.cell, nullptr);
            ASSERT_TRUE(first.cell->untouched());
            first.cell->set_flags(tavo::cell_plain_seen);
            // The span's last cell in use, so that the next span counts as streamed into.
            table.find_or_create(granule + span - 8).cell->set_flags(tavo::cell_plain_seen);
            tables.insert(first.leaves);
        }
        EXPECT_EQ(tables.size(), spans);
        table.release();
    }
}

class AccessCheck : public ::testing::Test {
protected:
    void SetUp() override {
        tavo::runtime.tsm.reset();
        test::take_stops();
    }
};

TEST_F(AccessCheck, MoreOffendedAccessesThanASegmentHoldsAreAllReported) {
    task_t many(3, 1), last(3, 2);
    constexpr std::uint64_t granule = 0x20000;
    std::set<std::pair<std::uint64_t, std::uint32_t>> accesses;
    for (std::uint32_t back = 0; accesses.size() < 1700; ++back) {
        for (std::uint32_t size = back + 1; size <= back + 8; ++size) {
            accesses.insert({granule - back, size});
            many.access(access_type::write, granule - back, size);
        }
    }
    last.access(access_type::write, granule, 8);
    ASSERT_EQ(test::stop_reasons(), std::vector<std::int32_t>{256});
    std::set<std::pair<std::uint64_t, std::uint32_t>> offended;
    for (const tavo_access_t& access : test::stops[0].offended) offended.insert({access.address, access.size});
    EXPECT_EQ(test::stops[0].offended.size(), accesses.size());
    EXPECT_EQ(offended, accesses);
}

TEST_F(AccessCheck, ForgottenRangeLosesItsHistoryAndKeepsTheBytesAround) {
    task_t first(3, 1), second(3, 2);
    first.access(access_type::write, 0xe000, 8);
    first.access(access_type::write, 0xe008, 8);   // beyond the range
    first.access(access_type::write, 0xe01c, 4);   // the granule's bytes the range does not cover
    first.access(access_type::write, 0xe014, 4);
    tavo::runtime.tsm.forget_range(nullptr, 0xe000, 8, 0);
    tavo::runtime.tsm.forget_range(nullptr, 0xe010, 12, 0);
    second.access(access_type::write, 0xe000, 8, 0x600);
    second.access(access_type::write, 0xe014, 4, 0x600);
    EXPECT_TRUE(test::stops.empty());
    second.access(access_type::write, 0xe008, 4, 0x601);
    second.access(access_type::write, 0xe01c, 4, 0x602);
    ASSERT_EQ(test::stop_reasons(), (std::vector<std::int32_t>{256, 256}));
    EXPECT_EQ(test::stops[0].offended.at(0).address, 0xe008u);
    EXPECT_EQ(test::stops[1].offended.at(0).address, 0xe01cu);
    // The owner reuses its forgotten record and is checked against again.
    first.access(access_type::write, 0xe000, 8, 0x603);
    EXPECT_EQ(test::stops.size(), 3u);
    // A forgotten record ahead of a kept one in its block hides nothing.
    first.access(access_type::write, 0xe020, 4);
    first.access(access_type::write, 0xe024, 4);
    tavo::runtime.tsm.forget_range(nullptr, 0xe024, 4, 0);
    second.access(access_type::write, 0xe020, 8, 0x604);
    ASSERT_EQ(test::stops.size(), 4u);
    EXPECT_EQ(test::stops[3].offended.size(), 1u);
    EXPECT_EQ(test::stops[3].offended.at(0).address, 0xe020u);
    // Blocks forgotten whole hold nothing once their owner records there again.
    first.access(access_type::write, 0xe028, 4);
    first.access(access_type::write, 0xe02c, 4);
    tavo::runtime.tsm.forget_range(nullptr, 0xe028, 8, 0);
    first.access(access_type::read, 0xe028, 4);
    second.access(access_type::write, 0xe02c, 4, 0x605);
    EXPECT_EQ(test::stops.size(), 4u);
    // A record forgotten and made again at the same time is the newest of that time: it is offended last.
    for (const std::uint64_t address : {0xe030, 0xe032, 0xe034}) first.access(access_type::write, address, 1);
    tavo::runtime.tsm.forget_range(nullptr, 0xe032, 1, 0);
    first.access(access_type::write, 0xe032, 1);
    second.access(access_type::write, 0xe030, 8, 0x606);
    ASSERT_EQ(test::stops.size(), 5u);
    std::vector<std::uint64_t> offended;
    for (const tavo_access_t& access : test::stops[4].offended) offended.push_back(access.address);
    EXPECT_EQ(offended, (std::vector<std::uint64_t>{0xe030, 0xe034, 0xe032}));
    // Made again after a record of the same time was added behind it, once the task's cache had
    // lost the granule: still one record.
    for (const std::uint64_t address : {0xe040, 0xe041, 0xe042}) first.access(access_type::write, address, 1);
    tavo::runtime.tsm.forget_range(nullptr, 0xe041, 1, 0);
    first.access(access_type::write, 0xe140, 1);  // the same cache entry
    first.access(access_type::write, 0xe043, 1);
    first.access(access_type::write, 0xe041, 1, 0x601);
    ++first.context.time;
    first.access(access_type::write, 0xe041, 1, 0x602);
    second.access(access_type::write, 0xe040, 8, 0x607);
    ASSERT_EQ(test::stops.size(), 6u);
    offended.clear();
    for (const tavo_access_t& access : test::stops[5].offended) offended.push_back(access.address);
    EXPECT_EQ(offended, (std::vector<std::uint64_t>{0xe040, 0xe042, 0xe043, 0xe041}));
}

TEST_F(AccessCheck, ReleaseIsAWriteOfTheWholeRangeAgainstUnorderedRecords) {
    task_t user(3, 1), releaser(3, 2), ordered(3, 3);
    user.access(access_type::read, 0xf008, 4, 0x600);
    ordered.access(access_type::write, 0xf010, 8, 0x601);
    releaser.knows(ordered, ordered.context.time + 1);
    tavo::runtime.tsm.forget_range(&releaser.context, 0xf000, 0x10000, 0x700);
    ASSERT_EQ(test::stop_reasons(), std::vector<std::int32_t>{256});
    const tavo_access_t offending{access_type::write, 0x10000, 0xf000, 3, 0, 2, 0x700};
    EXPECT_EQ(std::memcmp(&test::stops[0].offending, &offending, sizeof offending), 0);
    ASSERT_EQ(test::stops[0].offended.size(), 1u);
    EXPECT_EQ(test::stops[0].offended[0].address, 0xf008u);
    EXPECT_EQ(test::stops[0].offended[0].code_address, 0x600u);
    tavo::runtime.tsm.forget_range(&releaser.context, 0xf000, 0x10000, 0x700);
    EXPECT_EQ(test::stops.size(), 1u);
}

TEST_F(AccessCheck, ExhaustedCellArenaGivesTheAccessUp) {
    std::vector<std::unique_ptr<task_t>> tasks;
    for (std::uint64_t id = 1; id <= 12; ++id) tasks.push_back(std::make_unique<task_t>(0, id));
    for (int index = 0; index < 11; ++index) tasks[index]->access(access_type::read, 0xc000, 4);  // cell and 10 buckets
    tavo::arena_t& arena = tavo::runtime.tsm.cell_arena;
    arena.limit_heap_segments(0);
    std::int32_t code = 0;
    while (arena.allocate_unreported(1024, code) != nullptr) {}
    tasks[11]->access(access_type::read, 0xc000, 4);  // a twelfth entry needs an eleventh bucket
    tasks[11]->access(access_type::read, 0xd000, 4);  // a fresh granule of the same leaf table needs nothing
    EXPECT_FALSE(tasks[11]->recorded(access_type::read, 0xc000));
    EXPECT_TRUE(tasks[11]->recorded(access_type::read, 0xd000));
    tavo::runtime.tsm.reset();  // rewinds the arena: all twelve entries fit again
    for (auto& task : tasks) task->access(access_type::read, 0xc000, 4);
    arena.limit_heap_segments(UINT32_MAX);
    EXPECT_EQ(test::stop_reasons(), (std::vector<std::int32_t>{-9998}));
    EXPECT_TRUE(tasks[11]->recorded(access_type::read, 0xc000));
}

TEST_F(AccessCheck, SweepErasesForgottenEntriesAndReusesTheirMemory) {
    task_t owner(3, 1), other(3, 2);
    tavo::task_shadow_t& shadow = *owner.context.shadow;
    for (std::uint64_t granule : {0x3000, 0x3008, 0x3010}) {
        owner.access(access_type::write, granule, 4, 0x600);
        owner.access(access_type::write, granule + 4, 4, 0x600);  // a block
    }
    tavo::runtime.tsm.forget_range(nullptr, 0x3000, 0x10, 0);
    const std::size_t held = shadow.arena_bytes;
    shadow.sweep_at = 0;
    owner.access(access_type::read, 0x3018, 4);  // sweeps first
    EXPECT_FALSE(owner.recorded(access_type::write, 0x3000));
    EXPECT_FALSE(owner.recorded(access_type::write, 0x3008));
    EXPECT_TRUE(owner.recorded(access_type::write, 0x3010));
    std::size_t listed = 0;
    tavo::touched_list_t(shadow).for_each_granule([&](std::uint64_t granule) { listed += granule == 0x3000 || granule == 0x3008; });
    EXPECT_EQ(listed, 0u);
    // The memory taken again is the spares', and its records are those of the new accesses.
    owner.access(access_type::write, 0x3000, 4, 0x601);
    owner.access(access_type::write, 0x3004, 4, 0x601);
    owner.access(access_type::write, 0x3008, 2, 0x601);
    owner.access(access_type::write, 0x300c, 2, 0x601);
    EXPECT_EQ(shadow.arena_bytes, held);
    other.access(access_type::write, 0x3000, 16, 0x700);
    ASSERT_EQ(test::stop_reasons(), std::vector<std::int32_t>{256});
    std::set<std::pair<std::uint64_t, std::uint64_t>> offended;
    for (const tavo_access_t& access : test::stops[0].offended) offended.insert({access.address, access.code_address});
    EXPECT_EQ(offended, (std::set<std::pair<std::uint64_t, std::uint64_t>>{{0x3000, 0x601}, {0x3004, 0x601}, {0x3008, 0x601}, {0x300c, 0x601}}));
}

}  // namespace
