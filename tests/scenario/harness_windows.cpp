// The test executable's half of the Windows harness: the stops come from scenario_debugger.dll;
// the standard error stream and child processes through the C runtime and Win32.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "harness.h"
#include "harness_windows_debugger.h"

namespace scenario {

namespace {

std::string temporary_path() {
    char folder[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "tav", 0, path) == 0) std::abort();
    return path;
}

// The children's streams are text: their lines end in CR LF, read here as LF, as a text-mode
// read of the C runtime would.
std::string text_of(const std::string& bytes) {
    std::string text;
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        if (bytes[index] != '\r' || index + 1 == bytes.size() || bytes[index + 1] != '\n') text += bytes[index];
    }
    return text;
}

// An inheritable file that goes away when its last handle closes.
HANDLE open_child_output() {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE file = CreateFileA(temporary_path().c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) std::abort();
    return file;
}

std::string read_all(HANDLE file) {
    std::string bytes;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    for (DWORD count = 0; ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0;) bytes.append(buffer, count);
    return bytes;
}

bool less_ignoring_case(const std::string& left, const std::string& right) {
    return _stricmp(left.c_str(), right.c_str()) < 0;
}

}  // namespace

std::vector<stop_t> stops() {
    std::size_t count = 0;
    const stop_t* recorded = scenario_debugger_stops(&count);
    return {recorded, recorded + count};
}

void clear_stops() { scenario_debugger_clear_stops(); }
void set_debugger_action(debugger_action_t action) { scenario_debugger_set_action(action); }

// The library writes through the same C runtime (msvcrt.dll) as this executable, so moving
// descriptor 2 moves its log too.
stderr_capture_t::stderr_capture_t() {
    std::cerr.flush();
    std::fflush(stderr);
    file_ = _open(temporary_path().c_str(), _O_CREAT | _O_TRUNC | _O_RDWR | _O_TEXT | _O_TEMPORARY, 0600);
    saved_ = _dup(2);
    _dup2(file_, 2);
}

stderr_capture_t::~stderr_capture_t() { finish(); }

std::string stderr_capture_t::finish() {
    if (saved_ < 0) return {};
    std::cerr.flush();
    std::fflush(stderr);
    _dup2(saved_, 2);
    _close(saved_);
    saved_ = -1;
    std::string text;
    _lseek(file_, 0, SEEK_SET);
    char buffer[4096];
    for (int count; (count = _read(file_, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(count));
    _close(file_);
    return text;
}

child_result_t rerun_in_child(const std::map<std::string, std::string>& environment) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    char program[MAX_PATH + 1];
    const DWORD program_length = GetModuleFileNameA(nullptr, program, sizeof program);
    if (program_length == 0 || program_length >= sizeof program) std::abort();
    std::string command_line = std::string("\"") + program + "\" --gtest_filter=" + test->test_suite_name() + "." +
                               test->name() + " --gtest_brief=1";

    std::vector<std::string> settings;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
            const std::string setting = entry;
            const std::string name = setting.substr(0, setting.find('=', 1));  // "=C:=..." names begin with '='
            if (name.rfind("TAVO_", 0) != 0 && name != "KULMO_DBG_RTLEXCEPTION") settings.push_back(setting);
        }
        FreeEnvironmentStringsA(block);
    }
    settings.push_back("TAVO_SCENARIO_CHILD=1");
    for (const auto& [name, value] : environment) settings.push_back(name + "=" + value);
    // Windows expects the block sorted by name, without regard to case.
    std::stable_sort(settings.begin(), settings.end(), less_ignoring_case);
    std::string block;
    for (const std::string& setting : settings) block += setting + '\0';
    block += '\0';

    const HANDLE out = open_child_output();
    const HANDLE err = open_child_output();
    std::cout.flush();
    std::cerr.flush();
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION child{};
    child_result_t result{127, {}, {}};
    if (CreateProcessA(program, command_line.data(), nullptr, nullptr, TRUE, 0, block.data(), nullptr, &startup, &child)) {
        WaitForSingleObject(child.hProcess, INFINITE);
        DWORD status = 0;
        GetExitCodeProcess(child.hProcess, &status);
        result.exit_status = static_cast<int>(status);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    result.out = text_of(read_all(out));
    result.err = text_of(read_all(err));
    CloseHandle(out);
    CloseHandle(err);
    return result;
}

}  // namespace scenario
