// What the scenario tests share beyond the harness: children that must pass and handler-line
// labels.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "harness.h"

namespace scenario {

// The child must pass: its failures are in its output.
inline child_result_t run_child(const std::map<std::string, std::string>& environment) {
    child_result_t result = rerun_in_child(environment);
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    return result;
}

// A handler line's prefix, "tavo: [thread](type.id)~handle", for the calling thread.
inline std::string label(std::int32_t type, std::uint64_t id, unsigned handle) {
    char text[96];
    std::snprintf(text, sizeof text, "tavo: [%x](%d.%llu)~%u", static_cast<unsigned>(gettid()), type,
                  static_cast<unsigned long long>(id), handle);
    return text;
}
inline std::uint64_t thread_id() { return static_cast<std::uint64_t>(gettid()); }
// The thread's initial task, when it holds the given handle.
inline std::string initial(unsigned handle) { return label(1, thread_id(), handle); }

inline std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace scenario

using reasons = std::vector<std::int32_t>;
