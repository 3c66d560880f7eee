#include "frontend/symbolizer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/host.h"
#include "frontend/symbols.h"
#include "runtime/memory.h"

namespace tavo::frontend {

namespace {

bool symbolizer_missing = false;  // could not be started: symbol tables from now on
char* answer = nullptr;           // grows to the longest answer
std::size_t answer_capacity = 0;

// One question, one answer ending in an empty line, of any length.
bool exchange(const char* request) noexcept {
    if (!symbolizer_send(request)) return false;
    std::size_t used = 0;
    for (;;) {
        if (answer_capacity - used < 4096) {
            const std::size_t capacity = answer_capacity == 0 ? 8192 : answer_capacity * 2;
            char* grown = static_cast<char*>(std::realloc(answer, capacity));
            if (grown == nullptr) return false;
            answer = grown;
            answer_capacity = capacity;
        }
        const long got = symbolizer_receive(answer + used, answer_capacity - 1 - used);
        if (got <= 0) return false;
        used += static_cast<std::size_t>(got);
        answer[used] = '\0';
        if (used >= 2 && answer[used - 2] == '\n' && answer[used - 1] == '\n') return true;
    }
}

// The answer, up to and with its empty line, valid until the next question; null when there is
// none. A symbolizer that died or hung is started again for the same question.
char* ask_symbolizer(const char* path, const char* request) noexcept {
    for (int attempt = 0; attempt < 2 && !symbolizer_missing; ++attempt) {
        if (!symbolizer_start(path)) {
            symbolizer_missing = true;
            std::fprintf(stderr, "tavo: cannot run the symbolizer '%s'; functions are named from symbol tables\n", path);
            return nullptr;
        }
        if (exchange(request)) return answer;
        symbolizer_stop();
    }
    return nullptr;
}

}  // namespace

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

// "function\nfile:line:column\n" pairs; returns how many frames were read.
std::size_t parse_reply(char* reply, code_location_t model, code_location_t* frames, std::size_t capacity, string_pool_t& pool) {
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
        char* number = column;
        while (number != nullptr && number != place && *--number != ':') {
        }
        if (number != nullptr && *number != ':') number = nullptr;
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
        if (char* reply = ask_symbolizer(symbolizer, request)) count = parse_reply(reply, model, frames, capacity, pool);
    }
    if (count == 0) frames[count++] = model;
    symbol_t symbol;
    if (std::strcmp(frames[0].function, "??") == 0 && symbol_containing(address, false, symbol))
        frames[0].function = pool.copy(symbol.name);
    return count;
}

}  // namespace tavo::frontend
