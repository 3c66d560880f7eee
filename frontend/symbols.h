// The symbol tables of the loaded modules: code ranges of functions named by the user (so that
// suppressions and watched functions become the detectors' own code filters), and the function or
// global that contains an address, for reports made without a symbolizer and for globals.
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

// Calls visit(name, demangled or null) for each defined function of each loaded module until it
// answers true; returns whether it did.
template <class Visit>
bool any_function(Visit&& visit) noexcept;
bool any_function(bool (*visit)(const char* name, const char* demangled, void* data), void* data) noexcept;
template <class Visit>
bool any_function(Visit&& visit) noexcept {
    return any_function([](const char* name, const char* demangled, void* data) {
        return (*static_cast<Visit*>(data))(name, demangled);
    }, &visit);
}

// Calls visit(path) for each loaded shared module (not the program itself) until it answers true;
// returns whether it did.
bool any_module(bool (*visit)(const char* path, void* data), void* data) noexcept;
template <class Visit>
bool any_module(Visit&& visit) noexcept {
    return any_module([](const char* path, void* data) { return (*static_cast<Visit*>(data))(path); }, &visit);
}

// The module that contains an address: its path (the program's own by its real path) and the
// address's offset from the module's load bias.
struct module_t {
    const char* path;
    std::uint64_t offset;
};
bool module_containing(std::uint64_t address, module_t& module) noexcept;

// The function (or, with `object`, the data object) that contains the address, demangled, with its
// start and size.
struct symbol_t {
    char name[1024];
    std::uint64_t start;
    std::uint64_t size;
};
bool symbol_containing(std::uint64_t address, bool object, symbol_t& symbol) noexcept;

}  // namespace tavo::frontend
