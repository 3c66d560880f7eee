// The C library's own definitions of the names the front end interposes (Linux).
#pragma once

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>

namespace tavo::frontend {

// The real function, looked up once into `slot`. A failed look-up aborts: nothing sensible can
// continue.
template <class F>
F real(std::atomic<void*>& slot, const char* name, const char* version = nullptr) noexcept {
    void* function = slot.load(std::memory_order_acquire);
    if (function == nullptr) {
        function = version != nullptr ? dlvsym(RTLD_NEXT, name, version) : dlsym(RTLD_NEXT, name);
        if (function == nullptr) std::abort();
        slot.store(function, std::memory_order_release);
    }
    return reinterpret_cast<F>(function);
}

}  // namespace tavo::frontend

// Declares real_NAME, the C library's NAME (of symbol version VERSION, if given).
#define REAL(name, ...)                                    \
    static std::atomic<void*> real_##name##_slot{nullptr}; \
    auto real_##name = ::tavo::frontend::real<decltype(&name)>(real_##name##_slot, #name __VA_OPT__(, ) __VA_ARGS__)
