#include "frontend/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavo::frontend {

namespace {

bool parse_flag(const char* value, std::size_t length, bool& flag) {
    if (length != 1 || (value[0] != '0' && value[0] != '1')) return false;
    flag = value[0] == '1';
    return true;
}

bool parse_text(const char* value, std::size_t length, char* target, std::size_t capacity) {
    if (length >= capacity) return false;
    std::memcpy(target, value, length);
    target[length] = '\0';
    return true;
}

bool key_is(const char* key, std::size_t length, const char* name) {
    return std::strlen(name) == length && std::strncmp(key, name, length) == 0;
}

// Calls visit(entry, length) for each non-empty entry of a comma-separated list until it answers true.
template <class Visit>
bool any_entry(const char* list, Visit visit) {
    while (list != nullptr && *list != '\0') {
        const char* end = std::strchr(list, ',');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - list) : std::strlen(list);
        if (length != 0 && visit(list, length)) return true;
        list = end != nullptr ? end + 1 : nullptr;
    }
    return false;
}

}  // namespace

bool parse_options(const char* text, options_t& options) noexcept {
    bool valid = true;
    bool watch_given = false;
    bool re_given = false;
    while (text != nullptr && *text != '\0') {
        const char* end = std::strchr(text, ':');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - text) : std::strlen(text);
        const char* equals = static_cast<const char*>(std::memchr(text, '=', length));
        bool good = equals != nullptr;
        if (good) {
            const std::size_t key_length = static_cast<std::size_t>(equals - text);
            const char* value = equals + 1;
            const std::size_t value_length = length - key_length - 1;
            if (key_is(text, key_length, "tsm")) good = parse_flag(value, value_length, options.tsm);
            else if (key_is(text, key_length, "re")) good = re_given = parse_flag(value, value_length, options.re);
            else if (key_is(text, key_length, "halt_on_error")) good = parse_flag(value, value_length, options.halt_on_error);
            else if (key_is(text, key_length, "symbolize")) good = parse_flag(value, value_length, options.symbolize);
            else if (key_is(text, key_length, "symbolizer"))
                good = parse_text(value, value_length, options.symbolizer, sizeof options.symbolizer);
            else if (key_is(text, key_length, "suppress"))
                good = parse_text(value, value_length, options.suppress, sizeof options.suppress);
            else if (key_is(text, key_length, "watch"))
                good = watch_given = parse_text(value, value_length, options.watch, sizeof options.watch);
            else if (key_is(text, key_length, "exitcode")) {
                char digits[16];
                char* rest = nullptr;
                good = parse_text(value, value_length, digits, sizeof digits) && value_length != 0;
                const long code = good ? std::strtol(digits, &rest, 10) : -1;
                good = good && *rest == '\0' && code >= 0 && code <= 255;
                if (good) options.exit_code = static_cast<int>(code);
            } else good = false;
        }
        if (!good && length != 0) {
            std::fprintf(stderr, "tavo: ignoring option '%.*s'\n", static_cast<int>(length), text);
            valid = false;
        }
        text = end != nullptr ? end + 1 : nullptr;
    }
    // Watching functions means checking reentrant calls, unless re= says otherwise.
    if (watch_given && !re_given) options.re = true;
    return valid;
}

bool names_match(const char* list, const char* function) noexcept {
    return any_entry(list, [&](const char* entry, std::size_t length) {
        return std::strncmp(function, entry, length) == 0 && (function[length] == '\0' || function[length] == '(');
    });
}

bool files_match(const char* list, const char* file_line) noexcept {
    const char* colon = std::strrchr(file_line, ':');
    const std::size_t path_length = colon != nullptr ? static_cast<std::size_t>(colon - file_line) : std::strlen(file_line);
    return any_entry(list, [&](const char* entry, std::size_t length) {
        if (length > path_length) return false;
        const char* tail = file_line + path_length - length;
        return std::strncmp(tail, entry, length) == 0 && (tail == file_line || tail[-1] == '/');
    });
}

}  // namespace tavo::frontend
