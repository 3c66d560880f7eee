// The reporter's options, from one environment variable: TAVO_OPTIONS=key=value:key=value.
#pragma once

namespace tavo::frontend {

struct options_t {
    bool tsm = true;            // tsm=0|1: data sharing
    bool re = false;            // re=0|1: reentrant calls (on as well when watch= names functions)
    bool halt_on_error = false; // halt_on_error=1: exit at the first report
    bool symbolize = true;      // symbolize=0: module and offset only
    int exit_code = 66;         // exitcode=N: the status of a run that reported anything
    char symbolizer[256] = "llvm-symbolizer";
    char suppress[1024] = "";   // suppress=name,file.c,...: functions or source files never reported
    char watch[1024] = "";      // watch=name,...: the functions whose reentrant calls are reported
};

// Unknown keys and malformed values are reported on stderr and ignored; returns false then.
bool parse_options(const char* text, options_t& options) noexcept;

// Whether a comma-separated list names the function (plain, or with a C++ parameter list) or the
// source file of a "path:line" (whole path, or its trailing components).
bool names_match(const char* list, const char* function) noexcept;
bool files_match(const char* list, const char* file_line) noexcept;

}  // namespace tavo::frontend
