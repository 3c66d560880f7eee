// The in-process reporter: without a debugger attached it takes the debugger's part at the
// library's stops, prints each detection with symbolized call sites, and decides the exit status.
//
// Everything here is plain data with constant initialisation: the first stop comes while the
// library's own globals are still being constructed.
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "frontend/frontend.h"
#include "frontend/options.h"
#include "frontend/symbols.h"
#include "tavo/tavo.h"

extern char** environ;

namespace tavo::frontend {

namespace {

options_t options;
bool passive = false;  // a debugger is attached: it plays its own part
bool initialised = false;
std::uint64_t sharing_reports = 0;
std::uint64_t reentrancy_reports = 0;
std::uint64_t suppressed_reports = 0;

// Pairs of call sites already reported, so that a loop reports its race once.
constexpr std::size_t seen_capacity = 4096;
std::uint64_t seen[seen_capacity][2];
std::size_t seen_count = 0;

bool seen_before(std::uint64_t first, std::uint64_t second) {
    if (first > second) std::swap(first, second);
    for (std::size_t index = 0; index < seen_count; ++index)
        if (seen[index][0] == first && seen[index][1] == second) return true;
    if (seen_count < seen_capacity) {
        seen[seen_count][0] = first;
        seen[seen_count][1] = second;
        ++seen_count;
    }
    return false;
}

bool debugger_attached() {
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

// ---- Symbolization through llvm-symbolizer, one process kept for the whole run. ----

int symbolizer_socket = -1;
bool symbolizer_failed = false;

bool start_symbolizer() {
    if (symbolizer_socket >= 0) return true;
    if (symbolizer_failed || !options.symbolize) return false;
    symbolizer_failed = true;
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
    // Inlined frames come innermost first: the first names the line the program wrote.
    char* arguments[] = {options.symbolizer, nullptr};
    pid_t child = 0;
    const int status = posix_spawnp(&child, options.symbolizer, &actions, nullptr, arguments, environment);
    posix_spawn_file_actions_destroy(&actions);
    close(sockets[1]);
    if (status != 0) {
        close(sockets[0]);
        return false;
    }
    symbolizer_socket = sockets[0];
    symbolizer_failed = false;
    return true;
}

// The symbolizer's /proc/self/exe would be its own: name the program by its path.
const char* program_path() {
    static char path[4096];
    if (path[0] == '\0') {
        const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
        if (length <= 0) return "/proc/self/exe";
        path[length] = '\0';
    }
    return path;
}

struct module_query_t {
    std::uintptr_t address;
    const char* path;
    std::uintptr_t offset;
};

int find_module(dl_phdr_info* info, std::size_t, void* data) {
    auto& query = *static_cast<module_query_t*>(data);
    for (int index = 0; index < info->dlpi_phnum; ++index) {
        const ElfW(Phdr)& header = info->dlpi_phdr[index];
        if (header.p_type != PT_LOAD) continue;
        const std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
        if (query.address >= start && query.address < start + header.p_memsz) {
            query.path = info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' ? info->dlpi_name : program_path();
            query.offset = query.address - info->dlpi_addr;
            return 1;
        }
    }
    return 0;
}

// Function and file:line of the instruction before a return address, or the module and offset.
struct location_t {
    char function[256];
    char file_line[512];
};

bool exchange(const char* request, char* reply, std::size_t capacity) {
    const std::size_t length = std::strlen(request);
    if (send(symbolizer_socket, request, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) return false;
    std::size_t used = 0;
    while (used + 1 < capacity) {
        pollfd waiting{symbolizer_socket, POLLIN, 0};
        if (poll(&waiting, 1, 5000) <= 0) return false;
        const ssize_t got = recv(symbolizer_socket, reply + used, capacity - 1 - used, 0);
        if (got <= 0) return false;
        used += static_cast<std::size_t>(got);
        reply[used] = '\0';
        if (used >= 2 && std::strstr(reply, "\n\n") != nullptr) return true;
    }
    return false;
}

void symbolize(std::uint64_t site, location_t& location) {
    std::snprintf(location.function, sizeof location.function, "??");
    std::snprintf(location.file_line, sizeof location.file_line, "0x%llx", static_cast<unsigned long long>(site));
    if (site == 0) return;
    module_query_t query{static_cast<std::uintptr_t>(site - 1), nullptr, 0};
    if (dl_iterate_phdr(find_module, &query) == 0) return;
    std::snprintf(location.file_line, sizeof location.file_line, "%s+0x%lx", query.path,
                  static_cast<unsigned long>(query.offset));
    if (!start_symbolizer()) return;
    char request[600];
    char reply[2048];
    std::snprintf(request, sizeof request, "%s 0x%lx\n", query.path, static_cast<unsigned long>(query.offset));
    if (!exchange(request, reply, sizeof reply)) {
        close(symbolizer_socket);
        symbolizer_socket = -1;
        symbolizer_failed = true;
        return;
    }
    char* file = std::strchr(reply, '\n');
    if (file == nullptr) return;
    *file++ = '\0';
    if (char* end = std::strchr(file, '\n')) *end = '\0';
    // "file:line:column": the column says little in a report.
    if (char* column = std::strrchr(file, ':'); column != nullptr && column != std::strchr(file, ':')) *column = '\0';
    if (std::strcmp(reply, "??") != 0) std::snprintf(location.function, sizeof location.function, "%.250s", reply);
    if (std::strncmp(file, "??", 2) != 0) std::snprintf(location.file_line, sizeof location.file_line, "%.500s", file);
}

bool suppressed(const location_t& location) {
    return names_match(options.suppress, location.function) || files_match(options.suppress, location.file_line);
}

const char* access_word(std::uint32_t type, bool capital) {
    static const char* const words[2][4] = {{"read", "write", "update", "atomic update"},
                                            {"Read", "Write", "Update", "Atomic update"}};
    return type < 4 ? words[capital][type] : (capital ? "Access" : "access");
}

void describe_task(char* text, std::size_t capacity, std::uint32_t type, std::uint64_t id) {
    if (type == 3) std::snprintf(text, capacity, "thread T%llu", static_cast<unsigned long long>(id));
    else if (type == 1) std::snprintf(text, capacity, "initial task %llu", static_cast<unsigned long long>(id));
    else if (type == 2) std::snprintf(text, capacity, "OpenMP task %llu", static_cast<unsigned long long>(id));
    else std::snprintf(text, capacity, "task %u:%llu", type, static_cast<unsigned long long>(id));
}

void print_access(const tavo_access_t& access, const location_t& location, bool previous) {
    char task[64];
    describe_task(task, sizeof task, access.task_type, access.task_id);
    std::fprintf(stderr, "  %s%s of %u bytes at 0x%llx by %s:\n    at %s (%s)\n", previous ? "Previous " : "",
                 access_word(access.access_type, !previous), access.size,
                 static_cast<unsigned long long>(access.address), task, location.function, location.file_line);
}

void finish();

void after_report() {
    std::fflush(stderr);
    if (options.halt_on_error) {
        finish();
        _exit(options.exit_code);
    }
}

void report_sharing() {
    const tavo_sharing_detection_t& detection = __tavo_current_detection.sharing;
    const std::uint64_t offended_site = detection.offended_count != 0 ? detection.offended[0].code_address : 0;
    if (seen_before(detection.offending.code_address, offended_site)) return;
    location_t locations[5];
    const std::size_t shown = detection.offended_count < 4 ? detection.offended_count : 4;
    symbolize(detection.offending.code_address, locations[0]);
    bool quiet = suppressed(locations[0]);
    for (std::size_t index = 0; index < shown; ++index) {
        symbolize(detection.offended[index].code_address, locations[index + 1]);
        quiet = quiet || suppressed(locations[index + 1]);
    }
    if (quiet) {
        ++suppressed_reports;
        return;
    }
    ++sharing_reports;
    std::fprintf(stderr, "==================\nWARNING: tavo: data sharing (pid=%d)\n", static_cast<int>(getpid()));
    print_access(detection.offending, locations[0], false);
    for (std::size_t index = 0; index < shown; ++index) print_access(detection.offended[index], locations[index + 1], true);
    if (detection.offended_count > shown)
        std::fprintf(stderr, "  and %llu more accesses\n", static_cast<unsigned long long>(detection.offended_count - shown));
    std::fprintf(stderr, "SUMMARY: tavo: data sharing %s in %s\n==================\n", locations[0].file_line,
                 locations[0].function);
    after_report();
}

void report_reentrancy() {
    const tavo_reentrancy_detection_t& detection = __tavo_current_detection.reentrancy;
    location_t function;
    location_t site;
    symbolize(detection.function + 1, function);
    if (options.watch[0] != '\0' && !names_match(options.watch, function.function)) return;
    if (seen_before(detection.function, detection.site)) return;
    symbolize(detection.site, site);
    if (suppressed(site) || suppressed(function)) {
        ++suppressed_reports;
        return;
    }
    ++reentrancy_reports;
    std::fprintf(stderr, "==================\nWARNING: tavo: reentrant call of %s (pid=%d)\n  called at %s (%s)\n",
                 function.function, static_cast<int>(getpid()), site.function, site.file_line);
    for (std::uint64_t index = 0; index < detection.offense_count; ++index) {
        char task[64];
        describe_task(task, sizeof task, detection.offenses[index].task_type, detection.offenses[index].task_id);
        std::fprintf(stderr, "  %s inside by %s\n", index == 0 ? "already" : "also", task);
    }
    std::fprintf(stderr, "SUMMARY: tavo: reentrant call %s in %s\n==================\n", site.file_line, function.function);
    after_report();
}

void finish() {
    static bool finished = false;
    if (finished) return;
    finished = true;
    if (sharing_reports + reentrancy_reports == 0) return;
    std::fprintf(stderr, "tavo: reported %llu data sharing and %llu reentrant calls\n",
                 static_cast<unsigned long long>(sharing_reports), static_cast<unsigned long long>(reentrancy_reports));
    std::fflush(stderr);
}

void at_exit() {
    finish();
    if (sharing_reports + reentrancy_reports != 0 && options.exit_code != 0) {
        std::fflush(nullptr);
        _exit(options.exit_code);
    }
}

// Suppressed and watched functions become code filters of tsm and re: the debugger's protocol,
// one stop to have the buffer allocated, one to have the batch applied.
constexpr std::size_t filter_limit = 512;
tavo_filter_record_t pending_filters[filter_limit];
std::size_t pending_count = 0;
enum class filter_stage_t { none, allocating, applying } filter_stage = filter_stage_t::none;

void add_function_filters(std::uint8_t feature, const char* list) {
    code_range_t ranges[filter_limit];
    const std::size_t found = find_functions(list, ranges, filter_limit);
    for (std::size_t index = 0; index < found && index < filter_limit && pending_count < filter_limit; ++index)
        pending_filters[pending_count++] = {feature, 0, 1, 2, {}, ranges[index].base, ranges[index].length};
}

void request_filters() {
    if (options.tsm) add_function_filters(1, options.suppress);
    if (options.re && options.watch[0] != '\0') {
        add_function_filters(2, options.watch);
        if (pending_count == 0 || pending_filters[pending_count - 1].feature != 2)
            std::fprintf(stderr, "tavo: no function named in watch=%s\n", options.watch);
    }
    if (pending_count == 0) return;
    __tavo_config.filter_count = static_cast<std::uint32_t>(pending_count);
    __tavo_config.request |= TAVO_REQUEST_ALLOCATE;
    filter_stage = filter_stage_t::allocating;
}

void on_configuration_updated() {
    if (filter_stage == filter_stage_t::allocating) {
        if (__tavo_filter_space == nullptr) {
            std::fprintf(stderr, "tavo: no room for the filters of suppress= and watch=\n");
            filter_stage = filter_stage_t::none;
            return;
        }
        std::memcpy(__tavo_filter_space, pending_filters, pending_count * sizeof(tavo_filter_record_t));
        __tavo_config.filter_count = static_cast<std::uint32_t>(pending_count);
        __tavo_config.request |= TAVO_REQUEST_APPLY_FILTERS;
        filter_stage = filter_stage_t::applying;
    } else if (filter_stage == filter_stage_t::applying) {
        if (__tavo_config.filter_count != 0)
            std::fprintf(stderr, "tavo: %u filters of suppress= and watch= not applied\n", __tavo_config.filter_count);
        filter_stage = filter_stage_t::none;
    }
}

void on_load() {
    if (initialised) return;
    initialised = true;
    parse_options(std::getenv("TAVO_OPTIONS"), options);
    passive = debugger_attached();
    ready.store(true, std::memory_order_relaxed);
    if (passive) return;
    std::uint32_t flags = __tavo_config.flags;
    if (options.tsm) flags |= TAVO_FLAG_TSM;
    if (options.re) flags |= TAVO_FLAG_RE;
    __tavo_config.flags = flags;
    request_filters();
    std::atexit(at_exit);
}

}  // namespace

}  // namespace tavo::frontend

using namespace tavo::frontend;

// The library stops here; a debugger, when attached, has its breakpoint on this function.
extern "C" TAVO_API __attribute__((noinline)) void __tavo_switch_to_debugger(void) {
    asm volatile("" ::: "memory");
    switch (__tavo_event_reason) {
    case TAVO_EVENT_LOADED: on_load(); break;
    case TAVO_EVENT_CONFIGURATION_UPDATED:
        if (!passive) on_configuration_updated();
        break;
    case TAVO_EVENT_DATA_SHARING:
        if (!passive) report_sharing();
        break;
    case TAVO_EVENT_REENTRANT_CALL:
        if (!passive) report_reentrancy();
        break;
    default: break;
    }
}
