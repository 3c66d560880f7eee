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
    const auto separator = [](char c) { return c == ':' || c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    const auto complain = [&](const char* what, const char* entry, std::size_t length) {
        std::fprintf(stderr,
                     "tavo: %s '%.*s' in TAVO_OPTIONS; valid options: tsm=0|1 re=0|1 halt_on_error=0|1 symbolize=0|1 "
                     "history=0|1 dedupe=0|1 exitcode=0..255 format=text|json|sarif symbolizer=PATH suppress=LIST "
                     "suppressions=FILE watch=LIST log_path=PREFIX\n",
                     what, static_cast<int>(length), entry);
        valid = false;
    };
    while (text != nullptr) {
        while (*text != '\0' && separator(*text)) ++text;
        if (*text == '\0') break;
        const char* key = text;
        while (*text != '\0' && *text != '=' && !separator(*text)) ++text;
        const std::size_t key_length = static_cast<std::size_t>(text - key);
        if (*text != '=') {
            complain("no value for", key, key_length);
            continue;
        }
        const char* value = ++text;
        std::size_t value_length = 0;
        if (*text == '\'' || *text == '"') {
            const char* close = std::strchr(text + 1, *text);
            if (close == nullptr) {
                complain("unterminated quote in", key, std::strlen(key));
                break;
            }
            value = text + 1;
            value_length = static_cast<std::size_t>(close - value);
            text = close + 1;
        } else {
            while (*text != '\0' && !separator(*text)) ++text;
            value_length = static_cast<std::size_t>(text - value);
        }
        bool good = true;
        if (key_is(key, key_length, "tsm")) good = parse_flag(value, value_length, options.tsm);
        else if (key_is(key, key_length, "re")) good = re_given = parse_flag(value, value_length, options.re);
        else if (key_is(key, key_length, "halt_on_error")) good = parse_flag(value, value_length, options.halt_on_error);
        else if (key_is(key, key_length, "symbolize")) good = parse_flag(value, value_length, options.symbolize);
        else if (key_is(key, key_length, "history")) good = parse_flag(value, value_length, options.history);
        else if (key_is(key, key_length, "dedupe")) good = parse_flag(value, value_length, options.dedupe);
        else if (key_is(key, key_length, "symbolizer"))
            good = parse_text(value, value_length, options.symbolizer, sizeof options.symbolizer);
        else if (key_is(key, key_length, "suppress"))
            good = parse_text(value, value_length, options.suppress, sizeof options.suppress);
        else if (key_is(key, key_length, "suppressions"))
            good = parse_text(value, value_length, options.suppressions, sizeof options.suppressions);
        else if (key_is(key, key_length, "log_path"))
            good = parse_text(value, value_length, options.log_path, sizeof options.log_path);
        else if (key_is(key, key_length, "watch"))
            good = watch_given = parse_text(value, value_length, options.watch, sizeof options.watch);
        else if (key_is(key, key_length, "format")) {
            if (key_is(value, value_length, "text")) options.format = format_t::text;
            else if (key_is(value, value_length, "json")) options.format = format_t::json;
            else if (key_is(value, value_length, "sarif")) options.format = format_t::sarif;
            else good = false;
        } else if (key_is(key, key_length, "exitcode")) {
            char digits[16];
            char* rest = nullptr;
            good = parse_text(value, value_length, digits, sizeof digits) && value_length != 0;
            const long code = good ? std::strtol(digits, &rest, 10) : -1;
            good = good && *rest == '\0' && code >= 0 && code <= 255;
            if (good) options.exit_code = static_cast<int>(code);
        } else {
            complain("unknown option", key, key_length);
            continue;
        }
        if (!good) complain("malformed value in", key, static_cast<std::size_t>(value + value_length - key));
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
