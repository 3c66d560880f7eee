#include "harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sstream>
#include <utility>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace scenario {

namespace {

// Plain storage: the library stops here during its own static initialisation, before any
// constructor of this executable has run.
constexpr std::size_t stop_capacity = 4096;
stop_t recorded[stop_capacity];
std::atomic<std::size_t> recorded_count{0};
std::atomic<debugger_action_t> debugger_action{nullptr};

void print_stop(const stop_t& stop) {
    if (std::getenv("TAVO_TEST_PRINT_STOPS") == nullptr) return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "stop %d %llx\n", stop.reason,
                                     static_cast<unsigned long long>(stop.site));
    if (write(1, line, static_cast<std::size_t>(length)) < 0) std::abort();
}

std::string read_file(int descriptor) {
    std::string text;
    char buffer[4096];
    lseek(descriptor, 0, SEEK_SET);
    for (ssize_t count; (count = read(descriptor, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(count));
    return text;
}

}  // namespace

std::vector<stop_t> stops() { return {recorded, recorded + recorded_count.load()}; }

void clear_stops() { recorded_count = 0; }
void set_debugger_action(debugger_action_t action) { debugger_action = action; }

// gtest's capture moves descriptor 2, which the library's log goes through too.
stderr_capture_t::stderr_capture_t() : saved_(2) { testing::internal::CaptureStderr(); }
stderr_capture_t::~stderr_capture_t() { finish(); }
std::string stderr_capture_t::finish() {
    return std::exchange(saved_, -1) < 0 ? std::string() : testing::internal::GetCapturedStderr();
}

child_result_t rerun_in_child(const std::map<std::string, std::string>& environment) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    std::vector<std::string> settings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string setting = *entry;
        const std::string name = setting.substr(0, setting.find('='));
        if (name.rfind("TAVO_", 0) != 0 && name != "KULMO_DBG_RTLEXCEPTION") settings.push_back(setting);
    }
    settings.push_back("TAVO_SCENARIO_CHILD=1");
    for (const auto& [name, value] : environment) settings.push_back(name + "=" + value);

    char out_path[] = "/tmp/tavo-out-XXXXXX";
    char err_path[] = "/tmp/tavo-err-XXXXXX";
    const int out = mkstemp(out_path);
    const int err = mkstemp(err_path);
    unlink(out_path);
    unlink(err_path);
    std::cout.flush();
    std::cerr.flush();
    const pid_t child = fork();
    if (child == 0) {
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> arguments{const_cast<char*>("/proc/self/exe"), const_cast<char*>(filter.c_str()),
                                     const_cast<char*>("--gtest_brief=1"), nullptr};
        std::vector<char*> variables;
        for (auto& setting : settings) variables.push_back(setting.data());
        variables.push_back(nullptr);
        execve("/proc/self/exe", arguments.data(), variables.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    child_result_t result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(out), read_file(err)};
    close(out);
    close(err);
    return result;
}

}  // namespace scenario

extern "C" void __tavo_switch_to_debugger(void) {
    using namespace scenario;
    const std::size_t index = recorded_count.load();
    stop_t stop{__tavo_event_reason, __tavo_current_detection.site, __tavo_config, __TAVO_isGuardedCall};
    if (index < stop_capacity) {
        recorded[index] = stop;
        recorded_count = index + 1;
    }
    print_stop(stop);
    if (debugger_action_t action = debugger_action.load()) action(stop);
}
