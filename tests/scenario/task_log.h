// Expected handler lines for the calling thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace scenario {

inline std::uint64_t thread_id() { return static_cast<std::uint64_t>(gettid()); }

// "tavo: [thread](type.id)~handle"
inline std::string label(std::int32_t type, std::uint64_t id, unsigned handle) {
    char text[96];
    std::snprintf(text, sizeof text, "tavo: [%x](%d.%llu)~%u", static_cast<unsigned>(gettid()), type,
                  static_cast<unsigned long long>(id), handle);
    return text;
}

// The thread's initial task, when it holds the given handle.
inline std::string initial(unsigned handle) { return label(1, thread_id(), handle); }

}  // namespace scenario
