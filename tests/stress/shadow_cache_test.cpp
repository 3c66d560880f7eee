// Stress for the detector's per-task fast paths: tasks repeat writes to their own words (the granule
// cache and the path that stores nothing, the one-granule entry's inline repeat, its repeat of a
// record in a block, and its gate) while another thread resets the detector and
// forgets the words' ranges; tasks end and new ones take their handles. Each round ends with
// unordered writes of a second task to both granules, each to be reported whenever no reset or
// forget came in between: a cache that outlived either, or a repeat taken for a forgotten record,
// would hide one or, under the sanitizers, read freed cells.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

#define TAVO_TEST_OWN_DEBUGGER_STOP
#include "../unit/test_support.h"
#include "filter/filter_batch.h"
#include "runtime/plain_access.h"
#include "tsm/granule_check.h"
#include "tsm/site_table.h"

namespace {
thread_local int reported = 0;
}  // namespace

extern "C" void __tavo_switch_to_debugger(void) { reported += __tavo_event_reason == TAVO_EVENT_DATA_SHARING; }

TEST(ShadowCacheStress, RepeatedWritesAgainstResetsAndForgottenRanges) {
    constexpr int workers = 4, rounds = 1500;
    alignas(64) static std::uint64_t words[workers][8];
    std::atomic<std::uint64_t> epoch{0};  // odd while a reset or a forget runs
    std::atomic<bool> done{false};
    std::thread disturber([&] {
        for (unsigned step = 0; !done.load(); ++step) {
            epoch.fetch_add(1);
            if (step % 4 == 0) {
                tavo::runtime_lock_guard_t guard;
                tavo::runtime.tsm.reset();
            } else {
                tavo::runtime.tsm.forget_range(nullptr, reinterpret_cast<std::uintptr_t>(words[step % workers]), 64, 0);
            }
            epoch.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    });
    std::atomic<int> checked{0}, missed{0};
    test::run_together(workers, [&](int worker) {
        const auto own = reinterpret_cast<std::uintptr_t>(words[worker]);
        constexpr std::uint32_t write = tavo::access_type::write;
        for (int round = 0; round < rounds; ++round) {
            test::task_t first(3, static_cast<std::uint64_t>(worker) << 32 | static_cast<std::uint64_t>(round) << 1);
            // An inline record in the first granule, two records in a block in the second.
            for (int repeat = 0; repeat < 64; ++repeat) {
                const int step = repeat % 3;
                tavo::runtime.tsm.check_granule(first.context, own + 4 * (step + 1) * (step != 0), 8 >> (step != 0), write, 0x500);
                if (repeat == 32) std::this_thread::yield();  // lets the disturber in on two cores
            }
            std::this_thread::yield();
            // A record at the task's time, and another that a forget may have reached.
            tavo::runtime.tsm.check_granule(first.context, own + 12, 4, write, 0x500);
            const std::uint64_t before = epoch.load();
            tavo::runtime.tsm.check_granule(first.context, own, 8, write, 0x500);
            tavo::runtime.tsm.check_granule(first.context, own + 8, 4, write, 0x500);
            test::task_t second(3, static_cast<std::uint64_t>(worker) << 32 | static_cast<std::uint64_t>(round) << 1 | 1);
            const int reports = reported;
            second.access(write, own, 8);
            second.access(write, own + 8, 4);
            if (before % 2 == 0 && epoch.load() == before) {
                checked.fetch_add(1);
                missed.fetch_add(reported != reports + 2);
            }
        }
    });
    done.store(true);
    disturber.join();
    EXPECT_GT(checked.load(), 0);
    EXPECT_EQ(missed.load(), 0) << "of " << checked.load() << " undisturbed rounds";
}

// Tasks read the same words in the same order, so that they race to append buckets to the same
// cells, each from its chunk of the cell arena, while another thread resets the detector, which
// rewinds that arena. Every entry made since the last reset must be found: one lost to a racing
// append, or to a chunk that outlived a reset and so shares its memory with another task's chunk,
// is not.
TEST(ShadowCacheStress, BucketsAppendedTogetherAcrossResets) {
    constexpr int workers = 4, words = 4096, batch = 256, resets = 150;
    static std::uint64_t memory[words];
    std::atomic<std::uint64_t> epoch{0};  // odd while a reset runs; changed under the runtime lock
    std::atomic<bool> done{false};
    std::thread resetter([&] {
        for (int reset = 0; reset < resets; ++reset) {
            {
                tavo::runtime_lock_guard_t guard;
                epoch.fetch_add(1);
                tavo::runtime.tsm.reset();
                epoch.fetch_add(1);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        done.store(true);
    });
    std::atomic<int> checked{0}, missed{0};
    test::run_together(workers, [&](int worker) {
        test::task_t task(3, static_cast<std::uint64_t>(worker) + 1);
        while (!done.load()) {
            for (int first = 0; first < words; first += batch) {
                const std::uint64_t before = epoch.load();
                for (int index = first; index < first + batch; ++index)
                    task.access(tavo::access_type::read, reinterpret_cast<std::uintptr_t>(&memory[index]), 8);
                tavo::runtime_lock_guard_t guard;  // no reset while the entries are looked up
                if (before % 2 != 0 || epoch.load() != before) continue;
                checked.fetch_add(1);
                for (int index = first; index < first + batch; ++index) {
                    if (!task.recorded(tavo::access_type::read, reinterpret_cast<std::uintptr_t>(&memory[index]))) {
                        missed.fetch_add(1);
                        break;
                    }
                }
            }
        }
    });
    resetter.join();
    EXPECT_GT(checked.load(), 0);
    EXPECT_EQ(missed.load(), 0) << "of " << checked.load() << " undisturbed batches";
}

// A writer's entries turn from a single record into blocks, and readers' tasks come and go in the
// same cells (the cell's own slot, then appended buckets), while the readers scan them through the
// one-granule entry. Only the writer's first record there conflicts with a read, so every read after
// it must be reported, whichever form of the entry the reader finds, repeated reads included.
TEST(ShadowCacheStress, SingleRecordsTurnIntoBlocksUnderScanningReaders) {
    constexpr int readers = 3, words = 2048, reads = 1500;
    static std::uint64_t memory[words];
    std::atomic<int> written{0}, reading{readers}, checked{0}, missed{0};
    test::run_together(readers + 1, [&](int thread) {
        if (thread == 0) {
            test::task_t writer(3, 1);
            for (int index = 0; index < words; ++index) {
                const auto address = reinterpret_cast<std::uintptr_t>(&memory[index]);
                writer.access(tavo::access_type::write, address, 8);
                written.store(index + 1);
                writer.access(tavo::access_type::read, address + 4, 4);
                writer.access(tavo::access_type::atomic_read, address, 4);
            }
            while (reading.load() != 0) std::this_thread::yield();  // the records stay until every read is done
            return;
        }
        std::uint64_t state = static_cast<std::uint64_t>(thread);
        while (written.load() == 0) std::this_thread::yield();
        for (int round = 0; round < reads / 50; ++round) {
            test::task_t reader(3, static_cast<std::uint64_t>(thread) << 32 | static_cast<std::uint64_t>(round));
            for (int read = 0; read < 50; ++read) {
                state = state * 6364136223846793005u + 1442695040888963407u;
                const int index = static_cast<int>((state >> 33) % static_cast<std::uint64_t>(written.load()));
                const int reports = reported;
                tavo::runtime.tsm.check_granule(reader.context, reinterpret_cast<std::uintptr_t>(&memory[index]), 8,
                                                tavo::access_type::read, 0x500);
                checked.fetch_add(1);
                missed.fetch_add(reported == reports);
            }
        }
        reading.fetch_sub(1);
    });
    EXPECT_GT(checked.load(), 0);
    EXPECT_EQ(missed.load(), 0) << "of " << checked.load() << " reads";
}

// Two unordered tasks reach fresh granules at the same moment with conflicting accesses. An atomic
// access skips its scan in a cell that shows no plain record, and a read in one that shows no
// modifying record, so the other side's scan must then find its record: every granule is reported
// by one side at least.
TEST(ShadowCacheStress, ConflictingAccessesArrivingTogetherAreReported) {
    namespace type = tavo::access_type;
    constexpr int granules = 4000;
    constexpr std::uint32_t pairs[][2] = {
        {type::write, type::atomic}, {type::read, type::write}, {type::read, type::update}, {type::read, type::atomic}};
    static std::uint64_t memories[std::size(pairs)][granules];  // cells keep their marks after the tasks end
    static bool seen[2][granules];
    for (const auto& types : pairs) {
        std::uint64_t* memory = memories[&types - pairs];
        std::atomic<int> arrived[2] = {};
        test::run_together(2, [&](int thread) {
            test::task_t task(3, static_cast<std::uint64_t>(thread) + 1);
            for (int index = 0; index < granules; ++index) {
                arrived[thread].store(index + 1);
                while (arrived[1 - thread].load() < index + 1) std::this_thread::yield();
                const int reports = reported;
                task.access(types[thread], reinterpret_cast<std::uintptr_t>(&memory[index]), 8);
                seen[thread][index] = reported != reports;
            }
            arrived[thread].store(granules + 1);  // each task's records stay until both are done
            while (arrived[1 - thread].load() <= granules) std::this_thread::yield();
        });
        int missed = 0;
        for (int index = 0; index < granules; ++index) missed += !seen[0][index] && !seen[1][index];
        EXPECT_EQ(missed, 0) << "of " << granules << " granules, types " << types[0] << " and " << types[1];
    }
}

// A filter that suppresses the tasks' words is installed while the tasks repeat their writes on the
// plain access's quick path, which tests no filter itself: from the moment a task has seen the
// install end, a conflicting write there goes unreported; before the install starts, every one is
// reported. The filter takes effect somewhere inside the install, so rounds that overlap it count
// for neither.
TEST(ShadowCacheStress, FilterInstalledUnderQuickRepeatsTakesEffect) {
    constexpr int workers = 3, rounds = 2000;
    alignas(64) static std::uint64_t words[workers][8];
    static tavo_filter_record_t batch;
    // The detector on, and the mask rule's concurrency through an activated task type.
    const std::uint32_t flags = __tavo_config.flags;
    __tavo_config.flags = TAVO_FLAG_TSM;
    tavo::runtime.activation_count[3].fetch_add(1);
    tavo::runtime.recompute_active_mask_checked();
    std::atomic<int> reached{0}, unfiltered{0}, filtered{0}, wrong{0};
    std::atomic<int> stage{0};  // 1 while the install runs, 2 once it has returned
    const auto apply = [](std::uint8_t operation) {
        batch = {tavo::filter_feature::tsm, 0, tavo::filter_target::data, operation, {}, reinterpret_cast<std::uintptr_t>(words),
                 sizeof words};
        __tavo_filter_space = &batch;
        __tavo_config.filter_count = 1;
        EXPECT_EQ(tavo::apply_filter_batch(tavo::runtime), 0);
        __tavo_filter_space = nullptr;
    };
    test::run_together(workers + 1, [&](int thread) {
        if (thread == workers) {
            while (reached.load() == 0) std::this_thread::yield();
            stage.store(1);
            apply(tavo::filter_operation::add);
            stage.store(2);
            return;
        }
        tavo::thread_record_t& record = *tavo::obtain_thread_record();
        tavo::task_context_t* const own = record.current_task;
        for (int round = 0; round < rounds; ++round) {
            // Half way, the first worker there lets the install in; the others may still be before it.
            if (round == rounds / 2) {
                reached.fetch_add(1);
                while (stage.load() != 2) std::this_thread::yield();
            }
            test::task_t first(3, static_cast<std::uint64_t>(thread) << 32 | static_cast<std::uint64_t>(round) << 1);
            test::task_t second(3, static_cast<std::uint64_t>(thread) << 32 | static_cast<std::uint64_t>(round) << 1 | 1);
            const int before = stage.load();
            record.current_task = &first.context;
            for (int repeat = 0; repeat < 16; ++repeat) tavo::plain_access(&words[thread][0], 8, tavo::access_type::write, 0x500);
            record.current_task = &second.context;
            const int reports = reported;
            tavo::plain_access(&words[thread][0], 8, tavo::access_type::write, 0x600);
            record.current_task = own;
            if (before != stage.load() || before == 1) continue;  // either outcome is right
            const bool seen = before == 2;
            (seen ? filtered : unfiltered).fetch_add(1);
            wrong.fetch_add((reported != reports) == seen);
        }
    });
    apply(tavo::filter_operation::clear);
    __tavo_config.flags = flags;
    tavo::runtime.activation_count[3].fetch_sub(1);
    tavo::runtime.recompute_active_mask_checked();
    EXPECT_GT(unfiltered.load(), 0);
    EXPECT_GT(filtered.load(), 0);
    EXPECT_EQ(wrong.load(), 0) << "of " << unfiltered.load() << " rounds before the install and " << filtered.load() << " after";
}

// Threads intern the same call sites and histories in the same order, across chunk boundaries:
// each pair gets one index, and every index given reads back as its pair.
TEST(SiteTableStress, ThreadsInterningTheSamePairsGetOneIndexEach) {
    static tavo::site_table_t sites;  // too large for a stack
    constexpr int threads = 4, pairs = 20000;
    std::vector<std::vector<std::uint32_t>> given(threads, std::vector<std::uint32_t>(pairs));
    std::atomic<int> wrong{0};
    test::run_together(threads, [&](int thread) {
        for (int pair = 0; pair < pairs; ++pair) {
            const std::uint64_t site = 0x400000 + static_cast<std::uint64_t>(pair / 3);
            const auto history = static_cast<std::uint32_t>(pair % 3);
            std::int32_t code = 0;
            std::uint32_t& got = given[thread][pair];
            if (!sites.intern(site, history, got, code) || sites.at(got).site != site || sites.at(got).history != history)
                wrong.fetch_add(1);
        }
    });
    EXPECT_EQ(wrong.load(), 0);
    for (int thread = 1; thread < threads; ++thread) EXPECT_EQ(given[thread], given[0]);
    EXPECT_EQ(sites.size(), static_cast<std::uint32_t>(pairs));
}

// A writer makes in each granule a record of each byte, and then one of every other shape a granule
// has, so that its block grows through the classes, while another thread forgets bytes 1 to 7 of
// each granule, one at a time, from the moment their records are made, and readers write to the
// granules. In a second round the writer takes a new time in every record again. Byte 0's record
// is never forgotten, so every write must be reported; after each round every granule must hold
// its 36 records once, those of bytes 1 to 7 forgotten: a forget lost to a copy would leave one
// with its time.
TEST(ShadowCacheStress, BlocksGrowingUnderForgetsAndScanningReaders) {
    constexpr int granules = 2048, readers = 1;
    alignas(64) static std::uint64_t memory[granules];
    const auto base = reinterpret_cast<std::uintptr_t>(memory);
    test::task_t writer(3, 1);
    static std::atomic<int> made[granules];
    std::atomic<int> forgot{0}, checked{0}, missed{0}, wrong{0};
    const auto read = [&](int granule, int offset, int length) {
        tavo::runtime.tsm.check_granule(writer.context, base + 8 * granule + offset, length, tavo::access_type::read, 0x500);
    };
    const auto check_granules = [&] {
        for (int granule = 0; granule < granules; ++granule) {
            const std::uint64_t entry = tavo::own_entry(*tavo::runtime.tsm.table.find_or_create(base + 8 * granule).cell, writer.handle);
            std::set<std::uint32_t> words;
            int records = 0, kept = 0;
            if (!tavo::is_inline(entry)) {
                tavo::each_record(entry, [&](tavo::access_record_t& record) {
                    const tavo::position_t position = tavo::key_position(record.key);
                    ++records;
                    words.insert(position.word());
                    kept += position.length == 1 && record.time != tavo::forgotten_time;
                });
            }
            wrong.fetch_add(records != 36 || words.size() != 36 || kept != 1);
        }
    };
    test::run_together(readers + 2, [&](int thread) {
        if (thread == 0) {
            for (int round = 1; round <= 2; ++round, ++writer.context.time) {
                for (int granule = 0; granule < granules; ++granule) {
                    for (int offset = 0; offset < 8; ++offset) read(granule, offset, 1);
                    made[granule].store(round);
                    for (int offset = 0; offset < 8; ++offset)
                        for (int length = 2; offset + length <= 8; ++length) read(granule, offset, length);
                }
                while (forgot.load() < round) {}
                check_granules();
            }
        } else if (thread == 1) {
            for (int round = 1; round <= 2; forgot.store(round++))
                for (int granule = 0; granule < granules; ++granule) {
                    while (made[granule].load() < round) {}
                    for (int byte = 1; byte < 8; ++byte) tavo::runtime.tsm.forget_range(nullptr, base + 8 * granule + byte, 1, 0);
                }
        } else {
            // Past the writer's end if the reader came late, so that it checks some at least.
            std::uint64_t state = static_cast<std::uint64_t>(thread);
            for (int round = 0; forgot.load() < 2 || checked.load() < 200; ++round) {
                test::task_t reader(3, static_cast<std::uint64_t>(thread) << 32 | static_cast<std::uint64_t>(round));
                for (int write = 0; write < 50; ++write) {
                    state = state * 6364136223846793005u + 1442695040888963407u;
                    const int granule = static_cast<int>((state >> 33) % granules);
                    if (made[granule].load() == 0) continue;
                    const int reports = reported;
                    tavo::runtime.tsm.check_granule(reader.context, base + 8 * granule, 8, tavo::access_type::write, 0x500);
                    checked.fetch_add(1);
                    missed.fetch_add(reported == reports);
                }
            }
        }
    });
    EXPECT_EQ(missed.load(), 0) << "of " << checked.load() << " writes";
    EXPECT_EQ(wrong.load(), 0) << "granules of " << 2 * granules;
}
