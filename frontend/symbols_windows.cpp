// Modules of a Windows process. Functions are named by the symbolizer from the modules' debug
// information; the symbol tables of PE modules are not read, so code filters by name are not made.
#include "frontend/symbols.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

#include "runtime/spin_lock.h"

namespace tavo::frontend {

namespace {

// Paths as the symbolizer can open them: under wine, a Linux symbolizer needs the Unix path.
struct module_path_t {
    std::uintptr_t base;
    char path[MAX_PATH * 3];
};
constexpr std::size_t module_capacity = 256;
module_path_t modules[module_capacity];
std::size_t module_count = 0;
std::uint8_t modules_lock = 0;

void path_of(HMODULE module, char* path, std::size_t capacity) {
    wchar_t wide[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, wide, MAX_PATH);
    path[0] = '\0';
    if (length == 0 || length >= MAX_PATH) return;
    using unix_name_t = char*(CDECL*)(const wchar_t*);
    static const auto unix_name = reinterpret_cast<unix_name_t>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name != nullptr) {
        if (char* name = unix_name(wide)) {
            if (std::strlen(name) < capacity) std::strcpy(path, name);
            HeapFree(GetProcessHeap(), 0, name);
            return;
        }
    }
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, path, static_cast<int>(capacity), nullptr, nullptr);
}

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
    HMODULE handle = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<const wchar_t*>(address), &handle))
        return false;
    const auto base = reinterpret_cast<std::uintptr_t>(handle);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    spin_guard_t guard(modules_lock);
    std::size_t index = 0;
    while (index < module_count && modules[index].base != base) ++index;
    if (index == module_count) {
        if (module_count == module_capacity) return false;
        modules[index].base = base;
        path_of(handle, modules[index].path, sizeof modules[index].path);
        ++module_count;
    }
    module = {modules[index].path, address - base + nt->OptionalHeader.ImageBase};
    return true;
}

bool symbol_containing(std::uint64_t, bool, symbol_t&) noexcept { return false; }

}  // namespace tavo::frontend
