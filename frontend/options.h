// The reporter's options, from one environment variable, read as ThreadSanitizer reads its own:
// TAVO_OPTIONS="key=value key=value", with ':', ',' or blanks between entries and values in
// single or double quotes when they hold one of those.
#pragma once

namespace tavo::frontend {

enum class format_t { text, json, sarif };

struct options_t {
    bool tsm = true;            // tsm=0|1: data sharing
    bool re = false;            // re=0|1: reentrant calls (on as well when watch= names functions)
    bool halt_on_error = false; // halt_on_error=1: exit at the first report
    bool symbolize = true;      // symbolize=0: module and offset only
    bool history = true;        // history=0: the earlier access shows its call site only
    bool dedupe = true;         // dedupe=0: every detection is printed, not each race once
    format_t format = format_t::text;
    int exit_code = 66;         // exitcode=N: the status of a run that reported anything
    char symbolizer[256] = "llvm-symbolizer";
    char suppress[1024] = "";   // suppress='name,file.c': functions or source files never reported
    char suppressions[1024] = "";  // suppressions=FILE: race: and called_from_lib: patterns
    char watch[1024] = "";      // watch='name,...': the functions whose reentrant calls are reported
    char log_path[1024] = "";   // log_path=PREFIX: reports go to PREFIX.PID
};

// An unknown key or a malformed value is one line on stderr naming the valid keys, and is
// otherwise ignored; returns false then.
bool parse_options(const char* text, options_t& options) noexcept;

// Whether a comma-separated list names the function (plain, or with a C++ parameter list) or the
// source file of a "path:line" (whole path, or its trailing components).
bool names_match(const char* list, const char* function) noexcept;
bool files_match(const char* list, const char* file_line) noexcept;

}  // namespace tavo::frontend
