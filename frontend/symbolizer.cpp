#include "frontend/symbolizer.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string.h>

#include "frontend/symbols.h"
#include "runtime/memory.h"

extern char** environ;

namespace tavo::frontend {

const char* string_pool_t::copy(const char* text, std::size_t length) noexcept {
    if (chunks_ == nullptr || chunks_->capacity - chunks_->used < length + 1) {
        const std::size_t capacity = length + 1 > 65536 ? length + 1 : 65536;
        auto* chunk = static_cast<chunk_t*>(heap_allocate(sizeof(chunk_t) + capacity));
        if (chunk == nullptr) return "";
        *chunk = {chunks_, 0, capacity, {}};
        chunks_ = chunk;
    }
    char* copied = chunks_->data + chunks_->used;
    std::memcpy(copied, text, length);
    copied[length] = '\0';
    chunks_->used += length + 1;
    return copied;
}

const char* string_pool_t::copy(const char* text) noexcept { return copy(text, std::strlen(text)); }

void string_pool_t::clear() noexcept {
    while (chunks_ != nullptr) {
        chunk_t* next = chunks_->next;
        heap_free(chunks_, sizeof(chunk_t) + chunks_->capacity);
        chunks_ = next;
    }
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

bool ask(const char* path, const char* request) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!start_symbolizer(path)) return false;
        if (exchange(request)) return true;
        stop_symbolizer();  // died or hung: a new one answers the same question
    }
    return false;
}

// "function\nfile:line:column\n" pairs; returns how many frames were read.
std::size_t parse_reply(code_location_t model, code_location_t* frames, std::size_t capacity, string_pool_t& pool) {
    std::size_t count = 0;
    char* line = reply;
    while (count < capacity && *line != '\0' && *line != '\n') {
        char* function_end = std::strchr(line, '\n');
        if (function_end == nullptr) break;
        char* place = function_end + 1;
        char* place_end = std::strchr(place, '\n');
        if (place_end == nullptr) break;
        code_location_t& frame = frames[count++] = model;
        if (std::strncmp(line, "??", 2) != 0 || function_end - line != 2)
            frame.function = pool.copy(line, static_cast<std::size_t>(function_end - line));
        // file:line:column, the file possibly holding colons itself.
        *place_end = '\0';
        char* column = std::strrchr(place, ':');
        char* number = column != nullptr ? static_cast<char*>(::memrchr(place, ':', static_cast<std::size_t>(column - place))) : nullptr;
        if (number != nullptr && std::strncmp(place, "??", 2) != 0) {
            frame.file = pool.copy(place, static_cast<std::size_t>(number - place));
            frame.line = static_cast<unsigned>(std::strtoul(number + 1, nullptr, 10));
            frame.column = static_cast<unsigned>(std::strtoul(column + 1, nullptr, 10));
        }
        line = place_end + 1;
    }
    return count;
}

}  // namespace

std::size_t symbolize(std::uint64_t return_address, code_location_t* frames, std::size_t capacity, string_pool_t& pool,
                      const char* symbolizer, bool use_symbolizer) noexcept {
    code_location_t model{return_address, "??", nullptr, 0, 0, nullptr, 0};
    if (capacity == 0) return 0;
    frames[0] = model;
    const std::uint64_t address = return_address != 0 ? return_address - 1 : 0;
    module_t module;
    if (address == 0 || !module_containing(address, module)) return 1;
    model.module = pool.copy(module.path);
    model.offset = module.offset;
    frames[0] = model;
    std::size_t count = 0;
    if (use_symbolizer) {
        char request[1200];
        std::snprintf(request, sizeof request, "%s 0x%llx\n", module.path, static_cast<unsigned long long>(module.offset));
        if (ask(symbolizer, request)) count = parse_reply(model, frames, capacity, pool);
    }
    if (count == 0) frames[count++] = model;
    symbol_t symbol;
    if (std::strcmp(frames[0].function, "??") == 0 && symbol_containing(address, false, symbol))
        frames[0].function = pool.copy(symbol.name);
    return count;
}

}  // namespace tavo::frontend
