#include "frontend/suppressions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavo::frontend {

namespace {

constexpr std::size_t suppression_capacity = 1024;
suppression_t suppressions[suppression_capacity];
std::size_t count = 0;

bool match_here(const char* pattern, const char* end, const char* text, bool anchored_end) {
    for (; pattern != end; ++pattern, ++text) {
        if (*pattern == '*') {
            for (const char* rest = text;; ++rest) {
                if (match_here(pattern + 1, end, rest, anchored_end)) return true;
                if (*rest == '\0') return false;
            }
        }
        if (*text == '\0' || *text != *pattern) return false;
    }
    return !anchored_end || *text == '\0';
}

}  // namespace

bool template_match(const char* pattern, const char* text) noexcept {
    if (text == nullptr || pattern[0] == '\0') return false;
    const bool anchored_start = pattern[0] == '^';
    if (anchored_start) ++pattern;
    std::size_t length = std::strlen(pattern);
    const bool anchored_end = length != 0 && pattern[length - 1] == '$';
    if (anchored_end) --length;
    for (const char* start = text;; ++start) {
        if (match_here(pattern, pattern + length, start, anchored_end)) return true;
        if (anchored_start || *start == '\0') return false;
    }
}

bool load_suppressions(const char* path) noexcept {
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        std::fprintf(stderr, "tavo: cannot read the suppressions file '%s'\n", path);
        return false;
    }
    char line[4096];
    for (unsigned number = 1; std::fgets(line, sizeof line, file) != nullptr; ++number) {
        char* text = line;
        while (*text == ' ' || *text == '\t') ++text;
        std::size_t length = std::strcspn(text, "\r\n");
        while (length != 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
        text[length] = '\0';
        if (length == 0 || text[0] == '#') continue;
        char* colon = std::strchr(text, ':');
        suppression_type_t type;
        if (colon == nullptr || colon[1] == '\0') {
            std::fprintf(stderr, "tavo: %s:%u: expected type:pattern, not '%s'\n", path, number, text);
            continue;
        }
        *colon = '\0';
        if (std::strcmp(text, "race") == 0) type = suppression_type_t::race;
        else if (std::strcmp(text, "race_top") == 0) type = suppression_type_t::race_top;
        else if (std::strcmp(text, "called_from_lib") == 0) type = suppression_type_t::called_from_lib;
        else {
            std::fprintf(stderr, "tavo: %s:%u: suppression type '%s' not used by tavo (race, race_top, called_from_lib)\n",
                         path, number, text);
            continue;
        }
        char* pattern = strdup(colon + 1);
        if (pattern == nullptr || count == suppression_capacity) {
            std::free(pattern);
            std::fprintf(stderr, "tavo: %s:%u: too many suppressions\n", path, number);
            break;
        }
        suppressions[count++] = {type, pattern};
    }
    std::fclose(file);
    return true;
}

std::size_t suppression_count() noexcept { return count; }
const suppression_t& suppression(std::size_t index) noexcept { return suppressions[index]; }

}  // namespace tavo::frontend
