// tavo_debugger: a small Win32 debugger that drives tavo.dll from outside the process, as a real
// debugger does, and prints what it sees.
//
//   tavo_debugger [--flags HEX] program [arguments...]
//
// It starts the program under DEBUG_ONLY_THIS_PROCESS and finds the library's exported data
// through the export table of tavo.dll when the DLL is mapped. At every first-chance exception
// with the library's code it reads __tavo_event_reason and __tavo_current_detection (and the
// detection's list) from the program's memory and continues the program. At the "library
// loaded" stop it sets the ping request and, with --flags, writes the flags word.
// Every line it prints begins "debugger: "; the exit status is the program's.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tavo/tavo.h"

namespace {

void say(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::fputs("debugger: ", stdout);
    std::vprintf(format, arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    va_end(arguments);
}

[[noreturn]] void fail(const char* what) {
    say("%s failed (error %lu)", what, GetLastError());
    std::exit(120);
}

constexpr DWORD library_code = 0xA1A01DB0u;

HANDLE process;  // the program's

template <class T>
T read(std::uint64_t address) {
    T value{};
    SIZE_T done = 0;
    if (!ReadProcessMemory(process, reinterpret_cast<const void*>(address), &value, sizeof value, &done) || done != sizeof value)
        fail("ReadProcessMemory");
    return value;
}

std::string read_string(std::uint64_t address) {
    std::string text;
    for (char c; (c = read<char>(address)) != '\0' && text.size() < 256; ++address) text += c;
    return text;
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Addresses of the library's exported data in the program.
struct library_t {
    std::uint64_t config = 0;
    std::uint64_t event_reason = 0;
    std::uint64_t detection = 0;
    std::uint64_t active_mask = 0;
    std::string name;
    bool found() const { return config && event_reason && detection && active_mask; }
};

// Reads the export table of the image mapped at `base`; fills `library` when the image is tavo.dll
// or the front end's tavo_frontend.dll, which carries the library too.
bool find_library(std::uint64_t base, library_t& library) {
    const auto dos = read<IMAGE_DOS_HEADER>(base);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE) return false;
    const auto nt = read<IMAGE_NT_HEADERS64>(base + static_cast<std::uint64_t>(dos.e_lfanew));
    if (nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) return false;
    const IMAGE_DATA_DIRECTORY& directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory.VirtualAddress == 0) return false;
    const auto exports = read<IMAGE_EXPORT_DIRECTORY>(base + directory.VirtualAddress);
    library.name = read_string(base + exports.Name);
    if (_stricmp(library.name.c_str(), "tavo.dll") != 0 && _stricmp(library.name.c_str(), "tavo_frontend.dll") != 0) return false;
    for (DWORD index = 0; index < exports.NumberOfNames; ++index) {
        const auto name_address = read<DWORD>(base + exports.AddressOfNames + 4 * index);
        const auto ordinal = read<WORD>(base + exports.AddressOfNameOrdinals + 2 * index);
        const auto address = base + read<DWORD>(base + exports.AddressOfFunctions + 4 * ordinal);
        const std::string name = read_string(base + name_address);
        if (name == "__tavo_config") library.config = address;
        else if (name == "__tavo_event_reason") library.event_reason = address;
        else if (name == "__tavo_current_detection") library.detection = address;
        else if (name == "__TAVO_isGuardedCall") library.active_mask = address;
    }
    return true;
}

const char* task_type_name(std::uint32_t type) {
    static const char* const names[] = {"?", "initial task", "openmp task", "native thread"};
    return names[type < 4 ? type : 0];
}

const char* access_name(std::uint32_t type) {
    static const char* const names[] = {"read", "written", "updated", "atomically updated", "?"};
    return names[type < 4 ? type : 4];
}

void show_access(const char* role, const tavo_access_t& access) {
    say("  %s: %s, %u bytes %s by %s %llu at %s", role, hex(access.address).c_str(), access.size,
        access_name(access.access_type), task_type_name(access.task_type),
        static_cast<unsigned long long>(access.task_id), hex(access.code_address).c_str());
}

// Lists are read in full up to this many entries; a detection rarely has more than a few.
constexpr std::uint64_t list_limit = 64;

// One stop of the library: shows it, and at the load writes the ping and the flags given.
void on_stop(const library_t& library, const char* flags) {
    const auto reason = read<std::int32_t>(library.event_reason);
    const auto detection = read<tavo_detection_t>(library.detection);
    switch (reason) {
    case TAVO_EVENT_HANDSHAKE:
        say("stop 5: handshake");
        break;
    case TAVO_EVENT_LOADED: {
        auto config = read<tavo_config_t>(library.config);
        config.request |= TAVO_REQUEST_PING;
        if (flags != nullptr) config.flags = static_cast<std::uint32_t>(std::strtoul(flags, nullptr, 16));
        if (!WriteProcessMemory(process, reinterpret_cast<void*>(library.config), &config, sizeof config, nullptr))
            fail("WriteProcessMemory");
        if (flags != nullptr) say("stop 1: library loaded, ping and flags 0x%x written", config.flags);
        else say("stop 1: library loaded, ping written");
        break;
    }
    case TAVO_EVENT_UNLOADED:
        say("stop 2: library unloaded");
        break;
    case TAVO_EVENT_CONFIGURATION_UPDATED:
        say("stop 3: configuration updated");
        break;
    case TAVO_EVENT_PING_ANSWER:
        say("stop 4: ping answered, active mask 0x%x", read<std::uint32_t>(library.active_mask));
        break;
    case TAVO_EVENT_DATA_SHARING: {
        const tavo_sharing_detection_t& sharing = detection.sharing;
        say("stop 256: data sharing at site %s, %llu offended", hex(sharing.site).c_str(),
            static_cast<unsigned long long>(sharing.offended_count));
        show_access("offending", sharing.offending);
        const auto address = reinterpret_cast<std::uint64_t>(sharing.offended);
        for (std::uint64_t index = 0; index < sharing.offended_count && index < list_limit; ++index)
            show_access("offended", read<tavo_access_t>(address + index * sizeof(tavo_access_t)));
        break;
    }
    case TAVO_EVENT_REENTRANT_CALL: {
        const tavo_reentrancy_detection_t& reentrancy = detection.reentrancy;
        say("stop 257: reentrant call of %s at site %s, %llu offenses", hex(reentrancy.function).c_str(),
            hex(reentrancy.site).c_str(), static_cast<unsigned long long>(reentrancy.offense_count));
        const auto address = reinterpret_cast<std::uint64_t>(reentrancy.offenses);
        for (std::uint64_t index = 0; index < reentrancy.offense_count && index < list_limit; ++index) {
            const auto offense = read<tavo_offense_t>(address + index * sizeof(tavo_offense_t));
            say("  %s %llu", task_type_name(offense.task_type), static_cast<unsigned long long>(offense.task_id));
        }
        break;
    }
    default:
        say("stop %d: error at site %s", reason, hex(detection.site).c_str());
        break;
    }
}

}  // namespace

int main(int count, char** arguments) {
    const bool with_flags = count > 2 && std::strcmp(arguments[1], "--flags") == 0;
    if (count < (with_flags ? 4 : 2)) {
        std::fprintf(stderr, "usage: %s [--flags HEX] program [arguments...]\n", arguments[0]);
        return 2;
    }
    // Our arguments are paths and words: quoting each is enough for the C runtime to read them back.
    std::string command_line;
    for (int index = with_flags ? 3 : 1; index < count; ++index) command_line += std::string(" \"") + arguments[index] + '"';
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION program{};
    if (!CreateProcessA(nullptr, command_line.data() + 1, nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                        &startup, &program))
        fail("CreateProcess");
    process = program.hProcess;
    say("watching exception code 0x%lx", library_code);
    library_t library;
    DWORD exit_code = 0;
    for (bool running = true; running;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, INFINITE)) fail("WaitForDebugEvent");
        DWORD continuation = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT: {
            const auto base = reinterpret_cast<std::uint64_t>(event.u.LoadDll.lpBaseOfDll);
            if (!library.found() && find_library(base, library)) {
                if (!library.found()) fail("finding the exported data");
                say("%s mapped at 0x%llx, __tavo_config at +0x%llx", library.name.c_str(), static_cast<unsigned long long>(base),
                    static_cast<unsigned long long>(library.config - base));
            }
            if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
            break;
        }
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
            if (record.ExceptionCode == library_code && event.u.Exception.dwFirstChance && library.found()) {
                on_stop(library, with_flags ? arguments[2] : nullptr);
            } else if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {  // the loader's breakpoint is ours to take
                say("exception 0x%lx passed on", record.ExceptionCode);
                continuation = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            exit_code = event.u.ExitProcess.dwExitCode;
            running = false;
            break;
        default:
            break;
        }
        if (!ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation)) fail("ContinueDebugEvent");
    }
    say("program exited with %lu", exit_code);
    CloseHandle(program.hThread);
    CloseHandle(program.hProcess);
    return static_cast<int>(exit_code);
}
