// tavo_debugger: a small Win32 debugger that drives tavo.dll from outside the process, as a real
// debugger does, and prints what it sees.
//
//   tavo_debugger [--flags HEX] program [arguments...]
//
// It starts the program under DEBUG_ONLY_THIS_PROCESS and finds the library's exported data
// through the export table of tavo.dll (or of the front end's tavo_frontend.dll, which carries the
// library too) when the DLL is mapped. At every first-chance exception with the library's code it
// reads __tavo_event_reason and __tavo_current_detection (and the detection's list) from the
// program's memory and continues the program. At the "library loaded" stop it sets the ping
// request and, with --flags, writes the flags word.
// Every line it prints begins "debugger: "; the exit status is the program's.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tavo/tavo.h"

namespace {

using u64 = unsigned long long;

#define say(...) (std::printf("debugger: "), std::printf(__VA_ARGS__), std::printf("\n"), std::fflush(stdout))

[[noreturn]] void fail(const char* what) {
    say("%s failed (error %lu)", what, GetLastError());
    std::exit(120);
}

constexpr DWORD library_code = 0xA1A01DB0u;
HANDLE process;  // the program's
// Exported data of the library in the program: flags, event reason, detection, active mask.
std::uint64_t config, event_reason, detection, active_mask;

template <class T>
T read(std::uint64_t address) {
    T value{};  // a partial copy fails too
    if (!ReadProcessMemory(process, reinterpret_cast<const void*>(address), &value, sizeof value, nullptr)) fail("ReadProcessMemory");
    return value;
}

std::string read_string(std::uint64_t address) {
    std::string text;
    for (char c; (c = read<char>(address)) != '\0' && text.size() < 256; ++address) text += c;
    return text;
}

// Reads the export table of the image mapped at `base`; returns the image's name when it carries
// the library, after filling in the addresses of its data.
std::string find_library(std::uint64_t base) {
    // Every mapped image is a valid 64-bit PE image: the loader has checked it.
    const auto nt = read<IMAGE_NT_HEADERS64>(base + static_cast<std::uint64_t>(read<IMAGE_DOS_HEADER>(base).e_lfanew));
    const IMAGE_DATA_DIRECTORY& directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory.VirtualAddress == 0) return {};
    const auto exports = read<IMAGE_EXPORT_DIRECTORY>(base + directory.VirtualAddress);
    const std::string image = read_string(base + exports.Name);
    if (_stricmp(image.c_str(), "tavo.dll") != 0 && _stricmp(image.c_str(), "tavo_frontend.dll") != 0) return {};
    for (DWORD index = 0; index < exports.NumberOfNames; ++index) {
        const std::string name = read_string(base + read<DWORD>(base + exports.AddressOfNames + 4 * index));
        const auto ordinal = read<WORD>(base + exports.AddressOfNameOrdinals + 2 * index);
        const auto address = base + read<DWORD>(base + exports.AddressOfFunctions + 4 * ordinal);
        for (auto [wanted, slot] : {std::pair{"__tavo_config", &config}, {"__tavo_event_reason", &event_reason},
                                    {"__tavo_current_detection", &detection}, {"__TAVO_isGuardedCall", &active_mask}})
            if (name == wanted) *slot = address;
    }
    if (!config || !event_reason || !detection || !active_mask) fail("finding the exported data");
    return image;
}

const char* task_type_name(std::uint32_t type) {
    static const char* const names[] = {"?", "initial task", "openmp task", "native thread"};
    return names[type < 4 ? type : 0];
}

void show_access(const char* role, const tavo_access_t& access) {
    static const char* const names[] = {"read", "written", "updated", "atomically updated", "?"};
    say("  %s: 0x%llx, %u bytes %s by %s %llu at 0x%llx", role, u64(access.address), access.size,
        names[access.access_type < 4 ? access.access_type : 4], task_type_name(access.task_type), u64(access.task_id),
        u64(access.code_address));
}

// Lists are read in full up to this many entries; a detection rarely has more than a few.
constexpr std::uint64_t list_limit = 64;

// One stop of the library: shows it, and at the load writes the ping and the flags given.
void on_stop(const char* flags) {
    const auto reason = read<std::int32_t>(event_reason);
    const auto record = read<tavo_detection_t>(detection);
    if (reason == TAVO_EVENT_LOADED) {
        auto written = read<tavo_config_t>(config);
        written.request |= TAVO_REQUEST_PING;
        if (flags != nullptr) written.flags = static_cast<std::uint32_t>(std::strtoul(flags, nullptr, 16));
        if (!WriteProcessMemory(process, reinterpret_cast<void*>(config), &written, sizeof written, nullptr))
            fail("WriteProcessMemory");
        say("stop 1: library loaded, ping and flags 0x%x written", written.flags);
    } else if (reason == TAVO_EVENT_DATA_SHARING) {
        const tavo_sharing_detection_t& sharing = record.sharing;
        say("stop 256: data sharing at site 0x%llx, %llu offended", u64(sharing.site), u64(sharing.offended_count));
        show_access("offending", sharing.offending);
        for (std::uint64_t index = 0; index < sharing.offended_count && index < list_limit; ++index)
            show_access("offended", read<tavo_access_t>(reinterpret_cast<std::uint64_t>(sharing.offended + index)));
    } else if (reason == TAVO_EVENT_REENTRANT_CALL) {
        const tavo_reentrancy_detection_t& reentrancy = record.reentrancy;
        say("stop 257: reentrant call of 0x%llx at site 0x%llx, %llu offenses", u64(reentrancy.function),
            u64(reentrancy.site), u64(reentrancy.offense_count));
        for (std::uint64_t index = 0; index < reentrancy.offense_count && index < list_limit; ++index) {
            const auto offense = read<tavo_offense_t>(reinterpret_cast<std::uint64_t>(reentrancy.offenses + index));
            say("  %s %llu", task_type_name(offense.task_type), u64(offense.task_id));
        }
    } else if (reason == TAVO_EVENT_PING_ANSWER) {
        say("stop 4: ping answered, active mask 0x%x", read<std::uint32_t>(active_mask));
    } else {
        static const char* const names[] = {"", "", "library unloaded", "configuration updated", "", "handshake"};
        if (reason > 0 && reason < 6) say("stop %d: %s", reason, names[reason]);
        else say("stop %d: error at site 0x%llx", reason, u64(record.site));
    }
}

}  // namespace

int main(int count, char** arguments) {
    const bool with_flags = count > 2 && std::strcmp(arguments[1], "--flags") == 0;
    if (count < (with_flags ? 4 : 2)) return std::fprintf(stderr, "usage: %s [--flags HEX] program [arguments...]\n", arguments[0]), 2;
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
    DWORD exit_code = 0;
    for (bool running = true; running;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, INFINITE)) fail("WaitForDebugEvent");
        DWORD continuation = DBG_CONTINUE;
        const EXCEPTION_RECORD& exception = event.u.Exception.ExceptionRecord;
        if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && event.u.CreateProcessInfo.hFile) {
            CloseHandle(event.u.CreateProcessInfo.hFile);
        } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            const auto base = reinterpret_cast<std::uint64_t>(event.u.LoadDll.lpBaseOfDll);
            if (const std::string name = config ? "" : find_library(base); !name.empty())
                say("%s mapped at 0x%llx, __tavo_config at +0x%llx", name.c_str(), u64(base), u64(config - base));
            if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
            if (exception.ExceptionCode == library_code && event.u.Exception.dwFirstChance && config) {
                on_stop(with_flags ? arguments[2] : nullptr);
            } else if (exception.ExceptionCode != EXCEPTION_BREAKPOINT) {  // the loader's breakpoint is ours to take
                say("exception 0x%lx passed on", exception.ExceptionCode);
                continuation = DBG_EXCEPTION_NOT_HANDLED;
            }
        } else if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            exit_code = event.u.ExitProcess.dwExitCode;
            running = false;
        }
        if (!ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation)) fail("ContinueDebugEvent");
    }
    say("program exited with %lu", exit_code);
    CloseHandle(program.hThread);
    CloseHandle(program.hProcess);
    return static_cast<int>(exit_code);
}
