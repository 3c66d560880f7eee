// Modules of a Windows process. Functions are named by the symbolizer from the modules' debug
// information; the symbol tables of PE modules are not read, so code filters by name are not made.
#include "frontend/symbols.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>

#include <cstring>


namespace tavo::frontend {

namespace {

// The modules loaded with the program, with their paths as the symbolizer opens them (under wine,
// the host's paths), taken once at load. Reports are made under the runtime's lock, and asking the
// system then would wait for the loader's lock, which an ending thread holds while it waits for
// the runtime's; modules loaded later are not named.
struct module_path_t {
    std::uintptr_t base, end, preferred_base;
    char path[MAX_PATH * 3];
};
constexpr std::size_t module_capacity = 256;
module_path_t modules[module_capacity];
std::size_t module_count = 0;

void path_of(const wchar_t* wide, char* path, std::size_t capacity) {
    using unix_name_t = char*(CDECL*)(const wchar_t*);
    static const auto unix_name = reinterpret_cast<unix_name_t>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    path[0] = '\0';
    if (unix_name != nullptr) {
        if (char* name = unix_name(wide)) {
            if (std::strlen(name) < capacity) std::strcpy(path, name);
            HeapFree(GetProcessHeap(), 0, name);
            return;
        }
    }
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, path, static_cast<int>(capacity), nullptr, nullptr);
}

struct modules_taken_t {
    modules_taken_t() noexcept {
        const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
        if (snapshot == INVALID_HANDLE_VALUE) return;
        MODULEENTRY32W entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Module32FirstW(snapshot, &entry); more && module_count < module_capacity;
             more = Module32NextW(snapshot, &entry)) {
            module_path_t& module = modules[module_count++];
            module.base = reinterpret_cast<std::uintptr_t>(entry.modBaseAddr);
            module.end = module.base + entry.modBaseSize;
            const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module.base);
            module.preferred_base = reinterpret_cast<const IMAGE_NT_HEADERS*>(module.base + dos->e_lfanew)->OptionalHeader.ImageBase;
            path_of(entry.szExePath, module.path, sizeof module.path);
        }
        CloseHandle(snapshot);
    }
} modules_taken;

}  // namespace

std::size_t find_functions(const char*, code_range_t*, std::size_t) noexcept { return 0; }

bool any_function(bool (*)(const char*, const char*, void*), void*) noexcept { return false; }

bool any_module(bool (*visit)(const char* path, void* data), void* data) noexcept {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    const HMODULE program = GetModuleHandleW(nullptr);
    MODULEENTRY32W entry;
    entry.dwSize = sizeof entry;
    bool done = false;
    for (BOOL more = Module32FirstW(snapshot, &entry); more && !done; more = Module32NextW(snapshot, &entry)) {
        if (entry.hModule == program) continue;
        char path[MAX_PATH * 3];
        WideCharToMultiByte(CP_UTF8, 0, entry.szExePath, -1, path, sizeof path, nullptr, nullptr);
        done = visit(path, data);
    }
    CloseHandle(snapshot);
    return done;
}

// The offset is the address's in the module's file as linked (its preferred base plus the
// address's offset into the image), which is what the symbolizer looks up.
bool module_containing(std::uint64_t address, module_t& module) noexcept {
    for (std::size_t index = 0; index < module_count; ++index) {
        const module_path_t& known = modules[index];
        if (address < known.base || address >= known.end) continue;
        module = {known.path, address - known.base + known.preferred_base};
        return true;
    }
    return false;
}

bool symbol_containing(std::uint64_t, bool, symbol_t&) noexcept { return false; }

}  // namespace tavo::frontend
