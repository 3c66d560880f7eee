// Streams written by hand with what each line of the outcome must say, so that the model is pinned
// down too, not only compared; a fault that the fixed seeds miss comes here as its shrunk stream. A line's pattern is pieces found in
// order, "..." between them; call sites read "@ site" and the line ends with "$". Events are
// separated by lines or ";".
#include <gtest/gtest.h>

#include "differential.h"

using namespace differential;

namespace {

struct case_t {
    const char* name;
    const char* stream;
    std::vector<const char*> lines;  // after "completed", each stop and returned id
};

const case_t cases[] = {
    // Exits of a task that is not the current one (a nesting error at the exit's site) and of one
    // not in the chain (at the thread's site), an invalid type, then a thread that ends with its
    // initial task and task 2 open: one more nesting error.
    {"task nesting errors and tear-down", R"(
        debugger t0 | flags=0x3; enter_task t0 3 1 0x1000; enter_task t0 0 2 0x1008; leave_task t0 3 1 0x2000; leave_task t0 3 9 0x2004
        enter_task t1 7 1 0x3000; thread_exit t0
    )", {"reason -29995 site 0x2000 ", "reason -29995 site 0x2000 ", "reason -29990 site 0x3000 ", "reason -29995 "}},
    // The warning, the allocation, the second record's duplicate (one record left), then the first alone.
    {"filter protocol at stops", R"(
        warn t0 -10001 | count=2 set=0x80000000 | record=1,1,2,0x401000,0x200,-1 record=1,1,2,0x401010,0x10,-1 set=0x40000000 | clear=0x40000000 count=1 set=0x40000000
    )", {"reason -10001 ", "reason 3 ", "reason -29997 ... 1} mask", "reason 3 "}},
    // The fork names no such task.
    {"fork ids and returned values", R"(
        debugger t0 | flags=0x3; allocate t0; fork_current t0; fork_nowait t1; fork t0 3 42; join t0 2; taskwait_current t0
    )", {"returned 1", "returned 2", "returned 3", "reason -29991 ", "returned 4"}},
    // Thread 0 ends inside its task 1 on top of its initial task: a nesting error.
    {"requests while running are polled by the next entry", R"(
        enter_task t0 3 1 0x1000; debugger t0 | set=0x20000001 version=2; release t0 1 1
        debugger t0 | set=0x80; acquire t1 1 1 | clear=0x80
    )", {"reason -10000 ", "reason 4 ", "reason 3 ", "reason -29999 ", "reason -29995 "}},
    {"weak release into an object nobody made publishes nothing", R"(
        debugger t0 | flags=0x1; enter_task t0 3 1 0x1000; enter_task t1 3 2 0x1000
        write t0 0x10000 4; acquire_weak t0 1 9; release_weak t0 1 9; acquire t1 1 9; write t1 0x10000 4
    )", {"reason 256 ... (1, 4, 0x10000, 3.0x2 @ site) offends (1, 4, 0x10000, 3.0x1 @ site)$", "reason -29995 ", "reason -29995 "}},
    // The object knows task 1's handle, which is retired from it when task 1 ends; task 3 gets the
    // handle again, and the acquire must not order its write before task 2's.
    {"a reused handle inherits no ordering", R"(
        debugger t0 | flags=0x1; enter_task t0 3 1 0x1000; enter_task t1 3 2 0x1000; release t0 1 1; leave_task t0 3 1 0x1004
        enter_task t0 3 3 0x1000; write t0 0x10008 8; acquire t1 1 1; write t1 0x10008 8
    )", {"reason 256 ... (1, 8, 0x10008, 3.0x2 @ site) offends (1, 8, 0x10008, 3.0x3 @ site)$", "reason -29995 ", "reason -29995 "}},
    // A write over three granules, a read over three that each meet it, then atomic against atomic: nothing.
    {"accesses spanning granules meet once", R"(
        debugger t0 | flags=0x1; enter_task t0 3 1 0x1000; enter_task t1 3 2 0x1000; write t0 0x10006 12; read t1 0x10004 16
        atomic t0 0x10020 1; atomic t1 0x10020 1
    )", {"reason 256 ... (0, 16, 0x10004, 3.0x2 @ site) offends (1, 12, 0x10006, 3.0x1 @ site)$", "reason -29995 ", "reason -29995 "}},
};

bool matches(std::string line, const std::string& pattern) {
    for (std::size_t at = 0; (at = line.find("@ 0x", at)) != std::string::npos; at += 6) line.replace(at + 2, line.find(')', at) - at - 2, "site");
    line += "$";
    std::size_t from = 0;
    for (std::size_t begin = 0, end; begin <= pattern.size() && from != std::string::npos; begin = end + 3) {
        end = std::min(pattern.find("...", begin), pattern.size());
        from = line.find(pattern.substr(begin, end - begin), from);
    }
    return from != std::string::npos;
}

TEST(DifferentialCases, LibraryAndModelAgree) {
    for (const case_t& test : cases) {
        SCOPED_TRACE(test.name);
        stream_t stream = parse(test.stream);
        complete(stream);
        const outcome_t library = run_library(stream);
        EXPECT_EQ(compare(library, run_model(stream)), "");
        EXPECT_EQ(library.size(), test.lines.size() + 1) << testing::PrintToString(library);
        for (std::size_t index = 0; index < test.lines.size() && index + 1 < library.size(); ++index)
            EXPECT_TRUE(matches(library[index + 1], test.lines[index])) << library[index + 1];
    }
}

}  // namespace
