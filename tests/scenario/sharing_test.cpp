// Data sharing between two threads' tasks through the exported entries, as a debugger sees it: the
// stop and the detection record (its log lines are events_test's).
#include <atomic>
#include <thread>

#include "scenario.h"

namespace {

int shared_counter;
// Each detection: the offending access, then the offended ones.
std::vector<std::vector<tavo_access_t>> detections;

void keep_detection(const scenario::stop_t& stop) {
    if (stop.reason != TAVO_EVENT_DATA_SHARING) return;
    const tavo_sharing_detection_t& sharing = __tavo_current_detection.sharing;
    detections.push_back({sharing.offending});
    detections.back().insert(detections.back().end(), sharing.offended, sharing.offended + sharing.offended_count);
}

// Task 1 on one thread writes the counter; then task 2 on another thread reads it, and after that
// task 1 writes it again. Both tasks stay alive throughout, and nothing orders them.
void write_read_write() {
    std::atomic<int> step{0};
    std::thread first([&] {
        _TAVO_enterGenericTask(3, 1);
        _TAVO_writeMemory(&shared_counter, sizeof shared_counter);
        step = 1;
        while (step != 2) std::this_thread::yield();
        _TAVO_writeMemory(&shared_counter, sizeof shared_counter);
        _TAVO_leaveGenericTask(3, 1);
        step = 3;
    });
    std::thread second([&] {
        while (step != 1) std::this_thread::yield();
        _TAVO_enterGenericTask(3, 2);
        _TAVO_readMemory(&shared_counter, sizeof shared_counter);
        step = 2;
        while (step != 3) std::this_thread::yield();
        _TAVO_leaveGenericTask(3, 2);
    });
    first.join();
    second.join();
}

std::string bytes(const std::vector<tavo_access_t>& accesses) {
    return {reinterpret_cast<const char*>(accesses.data()), accesses.size() * sizeof(tavo_access_t)};
}

}  // namespace

TEST(Sharing, UnorderedReadIsReportedWithTheWriteAndAgainForTheNextWrite) {
    if (!scenario::in_child()) return (void)scenario::run_child({{"TAVO_ENABLE", "1"}});
    scenario::set_debugger_action(keep_detection);
    write_read_write();
    // The read finds the write; the second write, at the same time of its task, is scanned again
    // because the cell has seen a conflict, and finds the read.
    ASSERT_EQ(scenario::stop_reasons(), (reasons{5, 1, 256, 256}));
    ASSERT_EQ(detections.size(), 2u);
    ASSERT_EQ(detections[0].size(), 2u);
    const auto address = reinterpret_cast<std::uintptr_t>(&shared_counter);
    const tavo_access_t read{0, 4, address, 3, 0, 2, scenario::stops()[2].site};
    const tavo_access_t first_write{1, 4, address, 3, 0, 1, detections[0][1].code_address};
    const tavo_access_t second_write{1, 4, address, 3, 0, 1, scenario::stops()[3].site};
    EXPECT_NE(first_write.code_address, second_write.code_address);
    EXPECT_EQ(bytes(detections[0]), bytes({read, first_write}));
    EXPECT_EQ(bytes(detections[1]), bytes({second_write, read}));
}
