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

bool debugger_attached() noexcept {
    char text[4096];
    const int descriptor = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return false;
    const ssize_t length = read(descriptor, text, sizeof text - 1);
    close(descriptor);
    if (length <= 0) return false;
    text[length] = '\0';
    const char* tracer = std::strstr(text, "TracerPid:");
    return tracer != nullptr && std::strtol(tracer + 10, nullptr, 10) != 0;
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
bool symbolizer_missing = false;  // could not be started: symbol tables from now on
char* reply = nullptr;            // grows to the longest answer
std::size_t reply_capacity = 0;

void stop_symbolizer() {
    if (symbolizer_socket >= 0) close(symbolizer_socket);
    symbolizer_socket = -1;
    if (symbolizer_process > 0) {
        kill(symbolizer_process, SIGKILL);
        waitpid(symbolizer_process, nullptr, 0);
    }
    symbolizer_process = 0;
}

bool start_symbolizer(const char* path) {
    if (symbolizer_socket >= 0) return true;
    if (symbolizer_missing) return false;
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
        symbolizer_missing = true;
        std::fprintf(stderr, "tavo: cannot run the symbolizer '%s'; functions are named from symbol tables\n", path);
        return false;
    }
    symbolizer_socket = sockets[0];
    return true;
}

// One question, one answer ending in an empty line, of any length.
bool exchange(const char* request) {
    const std::size_t length = std::strlen(request);
    if (send(symbolizer_socket, request, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) return false;
    std::size_t used = 0;
    for (;;) {
        if (reply_capacity - used < 4096) {
            const std::size_t capacity = reply_capacity == 0 ? 8192 : reply_capacity * 2;
            char* grown = static_cast<char*>(std::realloc(reply, capacity));
            if (grown == nullptr) return false;
            reply = grown;
            reply_capacity = capacity;
        }
        pollfd waiting{symbolizer_socket, POLLIN, 0};
        if (poll(&waiting, 1, 10000) <= 0) return false;
        const ssize_t got = recv(symbolizer_socket, reply + used, reply_capacity - 1 - used, 0);
        if (got <= 0) return false;
        used += static_cast<std::size_t>(got);
        reply[used] = '\0';
        if (used >= 2 && reply[used - 2] == '\n' && reply[used - 1] == '\n') return true;
    }
}

}  // namespace

char* ask_symbolizer(const char* path, const char* request) noexcept {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!start_symbolizer(path)) return nullptr;
        if (exchange(request)) return reply;
        stop_symbolizer();  // died or hung: a new one answers the same question
    }
    return nullptr;
}

}  // namespace tavo::frontend
