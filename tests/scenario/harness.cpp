// The test executable's half of the harness: the current test run again in a child process.
#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <io.h>

#include <algorithm>
#else
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace scenario {

namespace {

// A descriptor of a file that goes away once closed. On Windows it is a text file: lines written
// with CR LF read back with LF.
int temporary_file() {
#ifdef _WIN32
    char folder[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "tav", 0, path) == 0) std::abort();
    const int file = _open(path, _O_CREAT | _O_TRUNC | _O_RDWR | _O_TEXT | _O_TEMPORARY, 0600);
#else
    char path[] = "/tmp/tavo-XXXXXX";
    const int file = mkstemp(path);
    unlink(path);
#endif
    if (file < 0) std::abort();
    return file;
}

std::string read_and_close(int file) {
    std::string text;
    char buffer[4096];
    lseek(file, 0, SEEK_SET);
    for (int count; (count = static_cast<int>(read(file, buffer, sizeof buffer))) > 0;) text.append(buffer, count);
    close(file);
    return text;
}

#ifdef _WIN32
// Runs this program again with these arguments and environment, its output and errors into the files.
int spawn(std::vector<std::string> arguments, std::vector<std::string> settings, int out, int err) {
    char program[MAX_PATH + 1];
    const DWORD program_length = GetModuleFileNameA(nullptr, program, sizeof program);
    if (program_length == 0 || program_length >= sizeof program) std::abort();
    std::string command_line = std::string("\"") + program + "\"";
    for (const std::string& argument : arguments) command_line += " " + argument;
    // Windows expects the block sorted by name, without regard to case.
    std::stable_sort(settings.begin(), settings.end(),
                     [](const std::string& left, const std::string& right) { return _stricmp(left.c_str(), right.c_str()) < 0; });
    std::string block;
    for (const std::string& setting : settings) block += setting + '\0';
    block += '\0';
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = reinterpret_cast<HANDLE>(_get_osfhandle(out));
    startup.hStdError = reinterpret_cast<HANDLE>(_get_osfhandle(err));
    for (HANDLE handle : {startup.hStdOutput, startup.hStdError}) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(program, command_line.data(), nullptr, nullptr, TRUE, 0, block.data(), nullptr, &startup, &child))
        return 127;
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return static_cast<int>(status);
}
#else
int spawn(std::vector<std::string> arguments, std::vector<std::string> settings, int out, int err) {
    const pid_t child = fork();
    if (child == 0) {
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv{const_cast<char*>("/proc/self/exe")}, variables;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        for (auto& setting : settings) variables.push_back(setting.data());
        variables.push_back(nullptr);
        execve("/proc/self/exe", argv.data(), variables.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

}  // namespace

child_result_t rerun_in_child(const std::map<std::string, std::string>& environment) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::vector<std::string> arguments{std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name(),
                                             "--gtest_brief=1"};
    // Ours without the library's variables (names such as "=C:" on Windows begin with '='), then the test's.
    std::vector<std::string> settings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string setting = *entry, name = setting.substr(0, setting.find('=', 1));
        if (name.rfind("TAVO_", 0) != 0 && name != "KULMO_DBG_RTLEXCEPTION") settings.push_back(setting);
    }
    settings.push_back("TAVO_SCENARIO_CHILD=1");
    for (const auto& [name, value] : environment) settings.push_back(name + "=" + value);
    const int out = temporary_file(), err = temporary_file();
    std::cout.flush();
    std::cerr.flush();
    const int status = spawn(arguments, settings, out, err);
    return {status, read_and_close(out), read_and_close(err)};
}

}  // namespace scenario
