// Code addresses to function, file, line and column, inlined calls included: llvm-symbolizer in a
// process kept for the run (started again when it dies), else the modules' symbol tables.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo::frontend {

// Strings of one report, of any length, that stay where they are until the pool is emptied. No
// destructor: reports may still come while the process exits.
class string_pool_t {
public:
    // A copy of length bytes and a terminating zero; "" when memory runs out.
    const char* copy(const char* text, std::size_t length) noexcept;
    const char* copy(const char* text) noexcept;
    void clear() noexcept;

private:
    struct chunk_t {
        chunk_t* next;
        std::size_t used, capacity;
        char data[1];
    };
    chunk_t* chunks_ = nullptr;
};

struct code_location_t {
    std::uint64_t pc;        // as given: a return address, or a function's own address
    const char* function;    // "??" when unknown
    const char* file;        // null when unknown
    unsigned line, column;   // 0 when unknown
    const char* module;      // null when the address lies in no module
    std::uint64_t offset;    // from the module's load bias
};

// The frames of one return address (looked up one byte before it, the call instruction), the
// innermost inlined call first. Returns how many were stored, at least one.
std::size_t symbolize(std::uint64_t return_address, code_location_t* frames, std::size_t capacity, string_pool_t& pool,
                      const char* symbolizer, bool use_symbolizer) noexcept;

}  // namespace tavo::frontend
