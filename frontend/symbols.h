// Code ranges of functions named by the user, from the symbol tables of the loaded modules, so
// that suppressions and watched functions become the detectors' own code filters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo::frontend {

struct code_range_t {
    std::uint64_t base;
    std::uint64_t length;  // the last byte is base + length: a return address at the end is inside
};

// Every defined function of every loaded module whose name, or demangled name without its
// parameters, is in the comma-separated list. Returns how many were found; at most capacity are
// stored.
std::size_t find_functions(const char* list, code_range_t* ranges, std::size_t capacity) noexcept;

}  // namespace tavo::frontend
