#include "frontend/host.h"

#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/threads.h"

extern char** environ;

namespace tavo::frontend {

namespace {

// The start of a /proc file as a string; false when it cannot be read.
bool read_proc(const char* path, char* text, std::size_t size) noexcept {
    const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return false;
    const ssize_t length = read(descriptor, text, size - 1);
    close(descriptor);
    if (length <= 0) return false;
    text[length] = '\0';
    return true;
}

}  // namespace

// Only gdb drives the library; any other tracer (strace, ltrace) leaves the reports to us. A tracer
// we may not look at counts as a debugger, as it did before we looked.
bool debugger_attached() noexcept {
    char text[4096];
    if (!read_proc("/proc/self/status", text, sizeof text)) return false;
    const char* tracer = std::strstr(text, "TracerPid:");
    const long pid = tracer != nullptr ? std::strtol(tracer + 10, nullptr, 10) : 0;
    if (pid == 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/comm", pid);
    return !read_proc(path, text, sizeof text) || std::strncmp(text, "gdb", 3) == 0;
}

bool stop_wanted() noexcept { return true; }

int unwind_stack(void** pcs, int capacity) noexcept { return backtrace(pcs, capacity); }

int system_thread_id() noexcept { return static_cast<int>(gettid()); }

bool stack_range(std::uintptr_t& low, std::uintptr_t& high) noexcept {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
    void* base = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &base, &size) == 0;
    pthread_attr_destroy(&attributes);
    low = reinterpret_cast<std::uintptr_t>(base);
    high = low + size;
    return known;
}

namespace {
int symbolizer_socket = -1;
pid_t symbolizer_process = 0;
}  // namespace

void symbolizer_stop() noexcept {
    if (symbolizer_socket >= 0) close(symbolizer_socket);
    symbolizer_socket = -1;
    if (symbolizer_process > 0) {
        kill(symbolizer_process, SIGKILL);
        waitpid(symbolizer_process, nullptr, 0);
    }
    symbolizer_process = 0;
}

bool symbolizer_start(const char* path) noexcept {
    if (symbolizer_socket >= 0) return true;
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], 0);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], 1);
    // The symbolizer must not load this library again through a preload.
    static char* environment[256];
    std::size_t count = 0;
    for (char** entry = environ; entry != nullptr && *entry != nullptr && count < 255; ++entry)
        if (std::strncmp(*entry, "LD_PRELOAD=", 11) != 0) environment[count++] = *entry;
    environment[count] = nullptr;
    char* arguments[] = {const_cast<char*>(path), nullptr};
    const int status = posix_spawnp(&symbolizer_process, path, &actions, nullptr, arguments, environment);
    posix_spawn_file_actions_destroy(&actions);
    close(sockets[1]);
    if (status != 0) {
        close(sockets[0]);
        symbolizer_process = 0;
        return false;
    }
    symbolizer_socket = sockets[0];
    return true;
}

bool symbolizer_send(const char* request) noexcept {
    const std::size_t length = std::strlen(request);
    return send(symbolizer_socket, request, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

long symbolizer_receive(char* buffer, std::size_t room) noexcept {
    pollfd waiting{symbolizer_socket, POLLIN, 0};
    if (poll(&waiting, 1, 10000) <= 0) return 0;
    return recv(symbolizer_socket, buffer, room, 0);
}

}  // namespace tavo::frontend
