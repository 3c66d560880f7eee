// Stress for the sweep: a task writes granules, forgets them and sweeps, erasing its entries and
// taking their records again for the next round's, while other tasks write the same granules and
// scan those entries. The owner's record shapes alternate by round (two 4-byte halves at one site,
// four 2-byte quarters at another), so a scan that read a record being reused would report a size
// with the other shape's site; under the thread sanitizer it is a race besides.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#define TAVO_TEST_OWN_DEBUGGER_STOP
#include "../unit/test_support.h"
#include "tsm/touched_cells.h"

namespace {

constexpr int granules = 64;
alignas(64) std::uint64_t memory[granules];
std::atomic<int> reports{0}, mismatched{0};

bool plausible(const tavo_access_t& access) {
    const auto base = reinterpret_cast<std::uintptr_t>(memory);
    const bool inside = access.address >= base && access.address < base + sizeof memory;
    return inside && ((access.size == 8 && access.code_address == 0x700) ||
                      (access.size != 8 && access.code_address == 0x600 + access.size));
}

}  // namespace

extern "C" void __tavo_switch_to_debugger(void) {
    if (__tavo_event_reason != TAVO_EVENT_DATA_SHARING) return;
    const auto& sharing = __tavo_current_detection.sharing;
    reports.fetch_add(1);
    for (std::size_t index = 0; index < sharing.offended_count; ++index)
        mismatched.fetch_add(!plausible(sharing.offended[index]));
}

TEST(SweepStress, ScansNeverSeeRecordsTakenAgain) {
    constexpr int writers = 3, rounds = 400;
    const auto base = reinterpret_cast<std::uintptr_t>(memory);
    std::atomic<bool> done{false};
    test::run_together(writers + 1, [&](int thread) {
        if (thread == 0) {
            test::task_t owner(3, 1);
            tavo::task_shadow_t& shadow = *owner.context.shadow;
            // On a loaded machine the writers may start late: rounds go on until one has reported.
            for (int round = 0; round < rounds || (reports.load() == 0 && round < 100 * rounds); ++round) {
                const std::uint32_t size = round % 2 == 0 ? 4 : 2;
                for (int granule = 0; granule < granules; ++granule)
                    for (std::uint32_t offset = 0; offset < 8; offset += size)
                        owner.access(tavo::access_type::write, base + 8 * granule + offset, size, 0x600 + size);
                tavo::runtime.tsm.forget_range(nullptr, base, sizeof memory, 0);
                shadow.sweep_at = 0;
                owner.access(tavo::access_type::read, reinterpret_cast<std::uintptr_t>(&shadow), 1);  // sweeps
            }
            done.store(true);
            return;
        }
        for (int round = 0; !done.load(); ++round) {
            test::task_t writer(3, static_cast<std::uint64_t>(thread) << 32 | static_cast<std::uint64_t>(round));
            for (int granule = 0; granule < granules; ++granule)
                writer.access(tavo::access_type::write, base + 8 * granule, 8, 0x700);
        }
    });
    EXPECT_GT(reports.load(), 0);
    EXPECT_EQ(mismatched.load(), 0);
}
