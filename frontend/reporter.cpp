// The in-process reporter: without a debugger attached it takes the debugger's part at the
// library's stops, prints each race once with both stacks, where the memory is, the threads and
// the locks involved, and decides the exit status.
//
// Everything here is plain data with constant initialisation: the first stop comes while the
// library's own globals are still being constructed. Reports are made under the runtime lock, one
// at a time.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "frontend/frontend.h"
#include "frontend/heap_blocks.h"
#include "frontend/host.h"
#include "frontend/options.h"
#include "frontend/report_writer.h"
#include "frontend/suppressions.h"
#include "frontend/symbolizer.h"
#include "frontend/symbols.h"
#include "frontend/thread_stack.h"
#include "frontend/threads.h"
#include "task/ended_tasks.h"
#include "tavo/tavo.h"
#include "tsm/history.h"

namespace tavo::frontend {

namespace {

options_t options;
bool passive = false;  // a debugger is attached: it plays its own part
bool initialised = false;
std::uint64_t sharing_reports = 0;     // distinct races printed
std::uint64_t sharing_detections = 0;  // every detection, repeats included
std::uint64_t reentrancy_reports = 0;
std::uint64_t suppressed_reports = 0;
report_writer_t out;
report_writer_t described;  // for a debugger
bool sarif_open = false;
#ifndef _WIN32
pid_t reporting_process = 0;  // whose run the counters describe: not a vfork child sharing our memory
#endif

// Races already reported: pairs of call sites, and the address ranges of printed reports.
constexpr std::size_t seen_capacity = 1 << 14;
std::uint64_t seen_pairs[seen_capacity][2];
std::size_t seen_pair_count = 0;
std::uint64_t seen_ranges[seen_capacity][2];
std::size_t seen_range_count = 0;

bool pair_seen(std::uint64_t first, std::uint64_t second) {
    if (first > second) std::swap(first, second);
    for (std::size_t index = 0; index < seen_pair_count; ++index)
        if (seen_pairs[index][0] == first && seen_pairs[index][1] == second) return true;
    if (seen_pair_count < seen_capacity) {
        seen_pairs[seen_pair_count][0] = first;
        seen_pairs[seen_pair_count++][1] = second;
    }
    return false;
}

bool range_seen(std::uint64_t address, std::uint64_t size) {
    for (std::size_t index = 0; index < seen_range_count; ++index)
        if (address < seen_ranges[index][1] && seen_ranges[index][0] < address + size) return true;
    return false;
}

void remember_range(std::uint64_t address, std::uint64_t size) {
    if (seen_range_count < seen_capacity) {
        seen_ranges[seen_range_count][0] = address;
        seen_ranges[seen_range_count++][1] = address + size;
    }
}

// ---- The report, symbolized. ----

constexpr std::size_t frame_capacity = 128;  // per stack, inlined calls included
constexpr std::size_t side_capacity = 5;     // the access and up to four earlier ones
constexpr std::size_t lock_capacity = 16;
constexpr std::size_t thread_capacity = 16;

struct stack_t {
    code_location_t frames[frame_capacity];
    std::size_t count;
};

struct side_t {
    tavo_access_t access;
    bool previous;
    bool freed;     // the access is the free of a block
    bool finished;  // made by a task that has ended since
    stack_t stack;
    held_lock_t locks[lock_capacity];
    std::size_t lock_count;
};

struct mutex_t {
    std::uint64_t address;
    std::uint64_t thread;  // task id of the holder
    bool thread_known;
    stack_t where;
};

enum class location_kind_t { unknown, global, heap, stack };

struct report_t {
    side_t sides[side_capacity];
    std::size_t side_count;
    std::uint64_t more;  // offended accesses not shown
    location_kind_t location;
    std::uint64_t location_base, location_size, location_thread;
    const char* global_name;
    const char* global_module;
    std::uint64_t global_offset;
    stack_t allocated_at;
    mutex_t mutexes[lock_capacity];
    std::size_t mutex_count;
    std::uint64_t threads[thread_capacity];
    std::size_t thread_count;
    stack_t created_at[thread_capacity];
    thread_info_t thread_infos[thread_capacity];
    bool thread_known[thread_capacity];
};
report_t report;
string_pool_t pool;

// Frames of return addresses, innermost first, each expanded into its inlined calls.
void symbolize_stack(const std::uint64_t* pcs, std::size_t pc_count, stack_t& stack) {
    stack.count = 0;
    for (std::size_t index = 0; index < pc_count && stack.count < frame_capacity; ++index)
        stack.count += symbolize(pcs[index], stack.frames + stack.count, frame_capacity - stack.count, pool,
                                 options.symbolizer, options.symbolize);
}

void symbolize_history(std::uint64_t top, stack_id_t history, stack_t& stack) {
    std::uint64_t pcs[frame_capacity];
    std::size_t count = 0;
    if (top != 0) pcs[count++] = top;
    count += frames_of(history, pcs + count, frame_capacity - count);
    symbolize_stack(pcs, count, stack);
}

const char* base_name(const char* path) {
    const char* slash = path != nullptr ? std::strrchr(path, '/') : nullptr;
    return slash != nullptr ? slash + 1 : path;
}

// ---- Suppressions: suppress= names and files, and the suppressions file. ----

bool frame_suppressed(const code_location_t& frame, bool innermost) {
    char file_line[1100];
    if (frame.file != nullptr) {
        std::snprintf(file_line, sizeof file_line, "%s:%u", frame.file, frame.line);
        if (files_match(options.suppress, file_line)) return true;
    }
    if (names_match(options.suppress, frame.function)) return true;
    for (std::size_t index = 0; index < suppression_count(); ++index) {
        const suppression_t& entry = suppression(index);
        if (entry.type == suppression_type_t::called_from_lib) {
            if (template_match(entry.pattern, base_name(frame.module))) return true;
            continue;
        }
        if (entry.type == suppression_type_t::race_top && !innermost) continue;
        if (template_match(entry.pattern, frame.function) || template_match(entry.pattern, frame.file) ||
            template_match(entry.pattern, frame.module))
            return true;
    }
    return false;
}

bool stack_suppressed(const stack_t& stack) {
    for (std::size_t index = 0; index < stack.count; ++index)
        if (frame_suppressed(stack.frames[index], index == 0)) return true;
    return false;
}

// ---- Naming things. ----

const char* access_word(std::uint32_t type, bool capital) {
    static const char* const words[2][5] = {{"read", "write", "update", "atomic update", "atomic read"},
                                            {"Read", "Write", "Update", "Atomic update", "Atomic read"}};
    return type < 5 ? words[capital][type] : (capital ? "Access" : "access");
}

const char* side_word(const side_t& side, bool capital) {
    return side.freed ? (capital ? "Free" : "free") : access_word(side.access.access_type, capital);
}

// Thread tasks are the interposers' threads; an initial task, named by its thread's system id,
// is the main thread's or that of a thread the interposers never saw start.
bool thread_of_task(std::uint32_t type, std::uint64_t id, std::uint64_t& thread) {
    if (type == 3) thread = id;
    else if (type == 1 && is_main_thread(id)) thread = 0;
    else return false;
    return true;
}

void thread_name(char* text, std::size_t capacity, std::uint64_t thread) {
    if (thread == 0) std::snprintf(text, capacity, "main thread");
    else std::snprintf(text, capacity, "thread T%llu", static_cast<unsigned long long>(thread));
}

void task_name(char* text, std::size_t capacity, std::uint32_t type, std::uint64_t id) {
    std::uint64_t thread = 0;
    if (thread_of_task(type, id, thread)) thread_name(text, capacity, thread);
    else if (type == 1) std::snprintf(text, capacity, "thread (tid=%llu)", static_cast<unsigned long long>(id));
    else if (type == 2) std::snprintf(text, capacity, "OpenMP task %llu", static_cast<unsigned long long>(id));
    else std::snprintf(text, capacity, "task %u:%llu", type, static_cast<unsigned long long>(id));
}

void mention_thread(std::uint64_t thread) {
    for (std::size_t index = 0; index < report.thread_count; ++index)
        if (report.threads[index] == thread) return;
    if (report.thread_count < thread_capacity) report.threads[report.thread_count++] = thread;
}

std::size_t mutex_index(std::uint64_t address) {
    for (std::size_t index = 0; index < report.mutex_count; ++index)
        if (report.mutexes[index].address == address) return index;
    return report.mutex_count;
}

void add_mutexes(const side_t& side) {
    std::uint64_t thread = 0;
    const bool known = thread_of_task(side.access.task_type, side.access.task_id, thread);
    for (std::size_t index = 0; index < side.lock_count; ++index) {
        if (mutex_index(side.locks[index].address) != report.mutex_count || report.mutex_count == lock_capacity) continue;
        mutex_t& mutex = report.mutexes[report.mutex_count++];
        mutex.address = side.locks[index].address;
        mutex.thread = thread;
        mutex.thread_known = known;
        symbolize_history(0, side.locks[index].where, mutex.where);
    }
}

void locate(std::uint64_t address) {
    report.location = location_kind_t::unknown;
    heap_block_t block;
    symbol_t symbol;
    std::uint64_t thread = 0;
    if (heap_block_containing(address, block)) {
        report.location = location_kind_t::heap;
        report.location_base = block.base;
        report.location_size = block.size;
        report.location_thread = block.thread;
        symbolize_history(0, block.allocated_at, report.allocated_at);
        mention_thread(block.thread);
    } else if (symbol_containing(address, true, symbol)) {
        report.location = location_kind_t::global;
        report.location_base = symbol.start;
        report.location_size = symbol.size;
        report.global_name = pool.copy(symbol.name);
        module_t module;
        report.global_module = module_containing(symbol.start, module) ? pool.copy(module.path) : nullptr;
        report.global_offset = report.global_module != nullptr ? module.offset : 0;
    } else if (thread_of_stack(address, thread)) {
        report.location = location_kind_t::stack;
        report.location_thread = thread;
        mention_thread(thread);
    }
}

// Each thread named, creators included, once.
void describe_threads() {
    for (std::size_t index = 0; index < report.thread_count; ++index) {
        report.thread_known[index] = thread_info(report.threads[index], report.thread_infos[index]);
        report.created_at[index].count = 0;
        if (!report.thread_known[index]) continue;
        symbolize_history(0, report.thread_infos[index].created_at, report.created_at[index]);
        if (report.threads[index] != 0) mention_thread(report.thread_infos[index].creator);
    }
}

// ---- Text. ----

void text_stack(const stack_t& stack) {
    if (stack.count == 0) out.print("    <no stack>\n");
    for (std::size_t index = 0; index < stack.count; ++index) {
        const code_location_t& frame = stack.frames[index];
        out.print("    #%zu %s", index, frame.function);
        if (frame.file != nullptr) {
            out.print(" %s", frame.file);
            if (frame.line != 0) out.print(":%u", frame.line);
            if (frame.column != 0) out.print(":%u", frame.column);
        }
        if (frame.module != nullptr) out.print(" (%s+0x%llx)", base_name(frame.module), static_cast<unsigned long long>(frame.offset));
        else out.print(" (0x%llx)", static_cast<unsigned long long>(frame.pc));
        out.print("\n");
    }
    out.print("\n");
}

void text_where(const code_location_t& frame) {
    if (frame.file != nullptr) {
        out.print("%s", frame.file);
        if (frame.line != 0) out.print(":%u", frame.line);
        if (frame.column != 0) out.print(":%u", frame.column);
    } else if (frame.module != nullptr) {
        out.print("(%s+0x%llx)", base_name(frame.module), static_cast<unsigned long long>(frame.offset));
    } else {
        out.print("(0x%llx)", static_cast<unsigned long long>(frame.pc));
    }
}

void text_report() {
    char name[64];
    out.print("==================\nWARNING: tavo: data sharing (pid=%d)\n", static_cast<int>(getpid()));
    for (std::size_t index = 0; index < report.side_count; ++index) {
        const side_t& side = report.sides[index];
        task_name(name, sizeof name, side.access.task_type, side.access.task_id);
        out.print("  %s%s of %u bytes at 0x%llx by %s%s", side.previous ? "Previous " : "",
                  side_word(side, !side.previous), side.access.size,
                  static_cast<unsigned long long>(side.access.address), name,
                  side.finished ? ", which has finished" : "");
        for (std::size_t lock = 0; lock < side.lock_count; ++lock)
            out.print("%s%s M%zu", lock == 0 ? " (mutexes: " : ", ", side.locks[lock].write ? "write" : "read",
                      mutex_index(side.locks[lock].address) + 1);
        out.print("%s:\n", side.lock_count != 0 ? ")" : "");
        text_stack(side.stack);
    }
    if (report.more != 0) out.print("  and %llu more earlier accesses\n\n", static_cast<unsigned long long>(report.more));
    switch (report.location) {
    case location_kind_t::global:
        out.print("  Location is global '%s' of size %llu at 0x%llx", report.global_name,
                  static_cast<unsigned long long>(report.location_size), static_cast<unsigned long long>(report.location_base));
        if (report.global_module != nullptr)
            out.print(" (%s+0x%llx)", base_name(report.global_module), static_cast<unsigned long long>(report.global_offset));
        out.print("\n\n");
        break;
    case location_kind_t::heap:
        thread_name(name, sizeof name, report.location_thread);
        out.print("  Location is heap block of size %llu at 0x%llx allocated by %s:\n",
                  static_cast<unsigned long long>(report.location_size), static_cast<unsigned long long>(report.location_base),
                  name);
        text_stack(report.allocated_at);
        break;
    case location_kind_t::stack:
        thread_name(name, sizeof name, report.location_thread);
        out.print("  Location is the stack of %s\n\n", name);
        break;
    case location_kind_t::unknown: break;
    }
    for (std::size_t index = 0; index < report.mutex_count; ++index) {
        const mutex_t& mutex = report.mutexes[index];
        if (mutex.thread_known) thread_name(name, sizeof name, mutex.thread);
        out.print("  Mutex M%zu (0x%llx) locked by %s at:\n", index + 1, static_cast<unsigned long long>(mutex.address),
                  mutex.thread_known ? name : "its task");
        text_stack(mutex.where);
    }
    for (std::size_t index = 0; index < report.thread_count; ++index) {
        if (!report.thread_known[index]) continue;
        const thread_info_t& info = report.thread_infos[index];
        if (report.threads[index] == 0) {
            out.print("  Main thread (tid=%d, running)\n\n", info.tid);
            continue;
        }
        char creator[64];
        thread_name(creator, sizeof creator, info.creator);
        out.print("  Thread T%llu (tid=%d, %s) created by %s at:\n", static_cast<unsigned long long>(report.threads[index]),
                  info.tid, info.finished ? "finished" : "running", creator);
        text_stack(report.created_at[index]);
    }
    const stack_t& top = report.sides[0].stack;
    out.print("SUMMARY: tavo: data sharing ");
    if (top.count != 0) {
        text_where(top.frames[0]);
        out.print(" in %s", top.frames[0].function);
    }
    out.print("\n==================\n");
}

// ---- JSON, one object a line. ----

void json_stack(const stack_t& stack) {
    out.print("[");
    for (std::size_t index = 0; index < stack.count; ++index) {
        const code_location_t& frame = stack.frames[index];
        out.print("%s{\"function\":", index == 0 ? "" : ",");
        out.json_string(frame.function);
        out.print(",\"file\":");
        out.json_string(frame.file);
        out.print(",\"line\":%u,\"column\":%u,\"module\":", frame.line, frame.column);
        out.json_string(frame.module);
        out.print(",\"offset\":\"0x%llx\",\"pc\":\"0x%llx\"}", static_cast<unsigned long long>(frame.offset),
                  static_cast<unsigned long long>(frame.pc));
    }
    out.print("]");
}

void json_thread(std::uint64_t thread) {
    if (thread == 0) out.print("\"main\"");
    else out.print("\"T%llu\"", static_cast<unsigned long long>(thread));
}

void json_report() {
    out.print("{\"kind\":\"data_sharing\",\"pid\":%d,\"accesses\":[", static_cast<int>(getpid()));
    for (std::size_t index = 0; index < report.side_count; ++index) {
        const side_t& side = report.sides[index];
        std::uint64_t thread = 0;
        out.print("%s{\"previous\":%s,\"type\":\"%s\",\"size\":%u,\"address\":\"0x%llx\",\"thread\":", index == 0 ? "" : ",",
                  side.previous ? "true" : "false", side_word(side, false), side.access.size,
                  static_cast<unsigned long long>(side.access.address));
        if (thread_of_task(side.access.task_type, side.access.task_id, thread)) json_thread(thread);
        else out.print("\"task %u:%llu\"", side.access.task_type, static_cast<unsigned long long>(side.access.task_id));
        out.print(",\"mutexes\":[");
        for (std::size_t lock = 0; lock < side.lock_count; ++lock)
            out.print("%s{\"mutex\":\"M%zu\",\"write\":%s}", lock == 0 ? "" : ",", mutex_index(side.locks[lock].address) + 1,
                      side.locks[lock].write ? "true" : "false");
        out.print("],\"stack\":");
        json_stack(side.stack);
        out.print("}");
    }
    out.print("],\"more\":%llu,\"location\":", static_cast<unsigned long long>(report.more));
    switch (report.location) {
    case location_kind_t::global:
        out.print("{\"kind\":\"global\",\"name\":");
        out.json_string(report.global_name);
        out.print(",\"address\":\"0x%llx\",\"size\":%llu,\"module\":", static_cast<unsigned long long>(report.location_base),
                  static_cast<unsigned long long>(report.location_size));
        out.json_string(report.global_module);
        out.print("}");
        break;
    case location_kind_t::heap:
        out.print("{\"kind\":\"heap\",\"address\":\"0x%llx\",\"size\":%llu,\"thread\":",
                  static_cast<unsigned long long>(report.location_base), static_cast<unsigned long long>(report.location_size));
        json_thread(report.location_thread);
        out.print(",\"stack\":");
        json_stack(report.allocated_at);
        out.print("}");
        break;
    case location_kind_t::stack:
        out.print("{\"kind\":\"stack\",\"thread\":");
        json_thread(report.location_thread);
        out.print("}");
        break;
    case location_kind_t::unknown: out.print("null"); break;
    }
    out.print(",\"mutexes\":[");
    for (std::size_t index = 0; index < report.mutex_count; ++index) {
        const mutex_t& mutex = report.mutexes[index];
        out.print("%s{\"id\":\"M%zu\",\"address\":\"0x%llx\",\"thread\":", index == 0 ? "" : ",", index + 1,
                  static_cast<unsigned long long>(mutex.address));
        if (mutex.thread_known) json_thread(mutex.thread);
        else out.print("null");
        out.print(",\"stack\":");
        json_stack(mutex.where);
        out.print("}");
    }
    out.print("],\"threads\":[");
    bool first = true;
    for (std::size_t index = 0; index < report.thread_count; ++index) {
        if (!report.thread_known[index]) continue;
        const thread_info_t& info = report.thread_infos[index];
        out.print("%s{\"id\":", first ? "" : ",");
        first = false;
        json_thread(report.threads[index]);
        out.print(",\"tid\":%d,\"running\":%s", info.tid, info.finished ? "false" : "true");
        if (report.threads[index] != 0) {
            out.print(",\"created_by\":");
            json_thread(info.creator);
            out.print(",\"stack\":");
            json_stack(report.created_at[index]);
        }
        out.print("}");
    }
    out.print("]}\n");
}

// ---- SARIF 2.1.0: one log for the run, a result per report, both stacks as thread flows. ----

void sarif_open_log() {
    if (sarif_open) return;
    sarif_open = true;
    out.print("{\"$schema\":\"https://json.schemastore.org/sarif-2.1.0.json\",\"version\":\"2.1.0\",\"runs\":[{\"tool\":"
              "{\"driver\":{\"name\":\"tavo\",\"rules\":[{\"id\":\"data-sharing\",\"shortDescription\":{\"text\":\"Two "
              "unordered accesses of different threads to common bytes, one of them writing\"}},{\"id\":\"reentrant-call\","
              "\"shortDescription\":{\"text\":\"A function called again while another call of it is running\"}}]}},"
              "\"results\":[");
}

void sarif_physical(const code_location_t& frame) {
    out.print("\"physicalLocation\":{\"artifactLocation\":{\"uri\":");
    out.file_uri(frame.file);
    out.print("}");
    if (frame.line != 0) {
        out.print(",\"region\":{\"startLine\":%u", frame.line);
        if (frame.column != 0) out.print(",\"startColumn\":%u", frame.column);
        out.print("}");
    }
    out.print("}");
}

// A location of a frame: its source when known, always its function.
void sarif_location(const code_location_t& frame, const char* message) {
    out.print("{");
    if (frame.file != nullptr && frame.file[0] == '/') {
        sarif_physical(frame);
        out.print(",");
    }
    out.print("\"logicalLocations\":[{\"fullyQualifiedName\":");
    out.json_string(frame.function);
    out.print(",\"kind\":\"function\"}]");
    if (message != nullptr) {
        out.print(",\"message\":{\"text\":");
        out.json_string(message);
        out.print("}");
    }
    out.print("}");
}

void sarif_report() {
    sarif_open_log();
    char name[64], text[512];
    if (sharing_reports > 1) out.print(",");
    const side_t& current = report.sides[0];
    task_name(name, sizeof name, current.access.task_type, current.access.task_id);
    int length = std::snprintf(text, sizeof text, "%s of %u bytes at 0x%llx by %s", side_word(current, true),
                               current.access.size, static_cast<unsigned long long>(current.access.address), name);
    if (report.side_count > 1) {
        const side_t& earlier = report.sides[1];
        task_name(name, sizeof name, earlier.access.task_type, earlier.access.task_id);
        length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                                " is unordered with an earlier %s by %s", side_word(earlier, false), name);
    }
    if (report.location == location_kind_t::global && length > 0 && static_cast<std::size_t>(length) < sizeof text)
        std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), " (global '%.200s')", report.global_name);
    out.print("{\"ruleId\":\"data-sharing\",\"level\":\"error\",\"message\":{\"text\":");
    out.json_string(text);
    out.print("},\"locations\":[");
    if (current.stack.count != 0) sarif_location(current.stack.frames[0], nullptr);
    out.print("],\"relatedLocations\":[");
    for (std::size_t index = 1; index < report.side_count; ++index) {
        if (report.sides[index].stack.count == 0) continue;
        out.print("%s", index == 1 ? "" : ",");
        std::snprintf(text, sizeof text, "earlier %s", side_word(report.sides[index], false));
        out.print("{\"id\":%zu,", index);
        // The related location repeats the frame's fields inside the id'd object.
        const code_location_t& frame = report.sides[index].stack.frames[0];
        if (frame.file != nullptr && frame.file[0] == '/') {
            sarif_physical(frame);
            out.print(",");
        }
        out.print("\"message\":{\"text\":");
        out.json_string(text);
        out.print("}}");
    }
    out.print("],\"codeFlows\":[{\"threadFlows\":[");
    for (std::size_t index = 0; index < report.side_count; ++index) {
        const side_t& side = report.sides[index];
        task_name(name, sizeof name, side.access.task_type, side.access.task_id);
        out.print("%s{\"message\":{\"text\":", index == 0 ? "" : ",");
        std::snprintf(text, sizeof text, "%s%s by %s", side.previous ? "earlier " : "", side_word(side, false), name);
        out.json_string(text);
        out.print("},\"locations\":[");
        // Outermost call first, as the thread ran.
        for (std::size_t frame = side.stack.count; frame-- > 0;) {
            out.print("{\"nestingLevel\":%zu,\"location\":", side.stack.count - 1 - frame);
            sarif_location(side.stack.frames[frame], side.stack.frames[frame].function);
            out.print("}%s", frame == 0 ? "" : ",");
        }
        out.print("]}");
    }
    out.print("]}]}");
}

void sarif_close_log() {
    if (options.format != format_t::sarif || (!sarif_open && !out.to_file())) return;
    sarif_open_log();
    out.print("],\"properties\":{\"races\":%llu,\"detections\":%llu,\"reentrant_calls\":%llu,\"suppressed\":%llu}}]}\n",
              static_cast<unsigned long long>(sharing_reports), static_cast<unsigned long long>(sharing_detections),
              static_cast<unsigned long long>(reentrancy_reports), static_cast<unsigned long long>(suppressed_reports));
}

void finish();

void after_report() {
    out.flush();
    if (options.halt_on_error) {
        finish();
        _exit(options.exit_code);
    }
}

// Builds the report of the current detection; false when suppressed (with `filter`).
bool build_sharing_report(const tavo_sharing_detection_t& detection, bool filter) {
    pool.clear();
    report.side_count = 0;
    report.mutex_count = 0;
    report.thread_count = 0;
    report.more = 0;
    // The access being made now: this thread's own stack and locks.
    side_t& current = report.sides[report.side_count++];
    current.access = detection.offending;
    current.previous = false;
    current.freed = releasing_block;
    current.finished = false;
    std::uint64_t pcs[frame_capacity];
    pcs[0] = detection.offending.code_address;
    symbolize_stack(pcs, 1 + current_frames(pcs + 1, frame_capacity - 1), current.stack);
    current.lock_count = held_locks(current.locks, lock_capacity);
    bool quiet = filter && stack_suppressed(current.stack);
    for (std::size_t index = 0; index < detection.offended_count && !quiet; ++index) {
        if (report.side_count == side_capacity) {
            report.more = detection.offended_count - index;
            break;
        }
        side_t& earlier = report.sides[report.side_count++];
        earlier.access = detection.offended[index];
        earlier.previous = true;
        earlier.freed = earlier.access.access_type == 1 && is_free_site(earlier.access.code_address);
        earlier.finished = ended_task_kept(static_cast<std::int32_t>(earlier.access.task_type), earlier.access.task_id);
        const stack_id_t history = offended_history(index);
        symbolize_history(earlier.access.code_address, history, earlier.stack);
        earlier.lock_count = locks_of(history, earlier.locks, lock_capacity);
        quiet = filter && stack_suppressed(earlier.stack);
    }
    if (quiet) return false;
    for (std::size_t index = 0; index < report.side_count; ++index) {
        std::uint64_t thread = 0;
        if (thread_of_task(report.sides[index].access.task_type, report.sides[index].access.task_id, thread))
            mention_thread(thread);
        add_mutexes(report.sides[index]);
    }
    locate(detection.offending.address);
    describe_threads();
    return true;
}

void report_sharing() {
    const tavo_sharing_detection_t& detection = __tavo_current_detection.sharing;
    ++sharing_detections;
    const std::uint64_t offended_site = detection.offended_count != 0 ? detection.offended[0].code_address : 0;
    if (options.dedupe && (pair_seen(detection.offending.code_address, offended_site) ||
                           range_seen(detection.offending.address, detection.offending.size)))
        return;
    if (!build_sharing_report(detection, true)) {
        ++suppressed_reports;
        return;
    }
    ++sharing_reports;
    remember_range(detection.offending.address, detection.offending.size);
    switch (options.format) {
    case format_t::text: text_report(); break;
    case format_t::json: json_report(); break;
    case format_t::sarif: sarif_report(); break;
    }
    after_report();
}

void report_reentrancy() {
    const tavo_reentrancy_detection_t& detection = __tavo_current_detection.reentrancy;
    pool.clear();
    stack_t& function = report.sides[0].stack;
    stack_t& site = report.sides[1].stack;
    // The function's own address is not a return address: looked up as one a byte further.
    const std::uint64_t function_pc = detection.function + 1;
    symbolize_stack(&function_pc, 1, function);
    if (options.watch[0] != '\0' && !names_match(options.watch, function.frames[0].function)) return;
    if (options.dedupe && pair_seen(detection.function, detection.site)) return;
    // Reported at the function's entry, whose frame is on the shadow stack already with the site as
    // its caller; an entry made without the front end's hooks is not.
    std::uint64_t pcs[frame_capacity];
    pcs[0] = detection.site;
    std::size_t count = current_frames(pcs + 1, frame_capacity - 1);
    if (count != 0 && pcs[1] == detection.site) std::memmove(pcs, pcs + 1, count-- * sizeof pcs[0]);
    symbolize_stack(pcs, count + 1, site);
    if (stack_suppressed(site) || stack_suppressed(function)) {
        ++suppressed_reports;
        return;
    }
    ++reentrancy_reports;
    const char* name = function.frames[0].function;
    char task[64];
    if (options.format == format_t::text) {
        out.print("==================\nWARNING: tavo: reentrant call of %s (pid=%d)\n  Called at:\n", name, static_cast<int>(getpid()));
        text_stack(site);
        for (std::uint64_t index = 0; index < detection.offense_count; ++index) {
            task_name(task, sizeof task, detection.offenses[index].task_type, detection.offenses[index].task_id);
            out.print("  %s inside by %s\n", index == 0 ? "already" : "also", task);
        }
        out.print("SUMMARY: tavo: reentrant call ");
        text_where(site.frames[0]);
        out.print(" in %s\n==================\n", name);
    } else if (options.format == format_t::json) {
        out.print("{\"kind\":\"reentrant_call\",\"pid\":%d,\"function\":", static_cast<int>(getpid()));
        out.json_string(name);
        out.print(",\"stack\":");
        json_stack(site);
        out.print(",\"inside\":[");
        for (std::uint64_t index = 0; index < detection.offense_count; ++index) {
            task_name(task, sizeof task, detection.offenses[index].task_type, detection.offenses[index].task_id);
            out.print("%s", index == 0 ? "" : ",");
            out.json_string(task);
        }
        out.print("]}\n");
    } else {
        sarif_open_log();
        if (sharing_reports + reentrancy_reports > 1) out.print(",");
        char text[512];
        std::snprintf(text, sizeof text, "Reentrant call of %.400s", name);
        out.print("{\"ruleId\":\"reentrant-call\",\"level\":\"error\",\"message\":{\"text\":");
        out.json_string(text);
        out.print("},\"locations\":[");
        sarif_location(site.frames[0], nullptr);
        out.print("],\"codeFlows\":[{\"threadFlows\":[{\"locations\":[");
        for (std::size_t frame = site.count; frame-- > 0;) {
            out.print("{\"nestingLevel\":%zu,\"location\":", site.count - 1 - frame);
            sarif_location(site.frames[frame], site.frames[frame].function);
            out.print("}%s", frame == 0 ? "" : ",");
        }
        out.print("]}]}]}");
    }
    after_report();
}

void finish() {
    static bool finished = false;
    if (finished) return;
    finished = true;
    sarif_close_log();
    if (options.format == format_t::json && sharing_detections + reentrancy_reports + suppressed_reports != 0)
        out.print("{\"kind\":\"summary\",\"races\":%llu,\"detections\":%llu,\"reentrant_calls\":%llu,\"suppressed\":%llu}\n",
                  static_cast<unsigned long long>(sharing_reports), static_cast<unsigned long long>(sharing_detections),
                  static_cast<unsigned long long>(reentrancy_reports), static_cast<unsigned long long>(suppressed_reports));
    else if (options.format == format_t::text && sharing_reports + reentrancy_reports != 0)
        out.print("tavo: reported %llu data sharing (%llu detection%s) and %llu reentrant calls\n",
                  static_cast<unsigned long long>(sharing_reports), static_cast<unsigned long long>(sharing_detections),
                  sharing_detections == 1 ? "" : "s", static_cast<unsigned long long>(reentrancy_reports));
    out.flush();
}

#ifndef _WIN32
bool forking_with_threads = false;
void fork_prepares() { forking_with_threads = thread_count() != 1; }

// A forked child's run is its own: what its parent reported is not its result.
void child_starts() {
    if (forking_with_threads) {
        unwatched_child = true;
        ready.store(false, std::memory_order_relaxed);
        add_quick_off(quick_off::unready);
    }
    reporting_process = getpid();
    sharing_reports = sharing_detections = reentrancy_reports = suppressed_reports = 0;
}
#endif

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
    if (options.re && options.watch[0] != '\0') add_function_filters(2, options.watch);
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

// A name that matches nothing is most likely mistyped: said once, at load. Names of source files
// (with a '.' or a '/') are left alone, as only debug information knows them.
bool names_a_file(const char* name, std::size_t length) {
    for (std::size_t index = 0; index < length; ++index)
        if (name[index] == '.' || name[index] == '/') return true;
    return false;
}

bool module_matches(const char* pattern) {
    return any_module([&](const char* path) { return template_match(pattern, base_name(path)); });
}

void warn_unmatched_list(const char* key, const char* list) {
    for (const char* entry = list; entry != nullptr && *entry != '\0';) {
        const char* end = std::strchr(entry, ',');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - entry) : std::strlen(entry);
        char name[512];
        if (length != 0 && length < sizeof name && !names_a_file(entry, length)) {
            std::memcpy(name, entry, length);
            name[length] = '\0';
            const bool found = any_function([&](const char* symbol, const char* demangled) {
                return names_match(name, symbol) || (demangled != nullptr && names_match(name, demangled));
            });
            if (!found) std::fprintf(stderr, "tavo: %s= names no function of the program: '%s'\n", key, name);
        }
        entry = end != nullptr ? end + 1 : nullptr;
    }
}

void warn_unmatched() {
    warn_unmatched_list("suppress", options.suppress);
    if (options.re) warn_unmatched_list("watch", options.watch);
    for (std::size_t index = 0; index < suppression_count(); ++index) {
        const suppression_t& entry = suppression(index);
        bool found = module_matches(entry.pattern);
        if (entry.type == suppression_type_t::called_from_lib) {
            if (!found) std::fprintf(stderr, "tavo: suppression 'called_from_lib:%s' matches no loaded module\n", entry.pattern);
            continue;
        }
        if (found || names_a_file(entry.pattern, std::strlen(entry.pattern))) continue;
        found = any_function([&](const char* symbol, const char* demangled) {
            return template_match(entry.pattern, symbol) || template_match(entry.pattern, demangled);
        });
        if (!found) std::fprintf(stderr, "tavo: suppression '%s:%s' matches no function or module of the program\n",
                                 entry.type == suppression_type_t::race ? "race" : "race_top", entry.pattern);
    }
}

void on_load() {
    if (initialised) return;
    initialised = true;
    parse_options(std::getenv("TAVO_OPTIONS"), options);
    keep_history_from_here(options.history);
    passive = debugger_attached();
    ready.store(true, std::memory_order_relaxed);
    if (passive) return;
    out.set_log_path(options.log_path);
    if (options.suppressions[0] != '\0') load_suppressions(options.suppressions);
    warn_unmatched();
    std::uint32_t flags = __tavo_config.flags;
    if (options.tsm) flags |= TAVO_FLAG_TSM;
    if (options.re) flags |= TAVO_FLAG_RE;
    flags |= TAVO_FLAG_KEEP_ENDED_TASKS;
    __tavo_config.flags = flags;
    request_filters();
    std::atexit(at_exit);
#ifndef _WIN32
    reporting_process = getpid();
    pthread_atfork(fork_prepares, nullptr, child_starts);
    at_quick_exit(at_exit);
#endif
}

}  // namespace

#ifndef _WIN32
int ending_status(int status) noexcept {
    if (!initialised || passive || getpid() != reporting_process) return status;
    finish();
    return sharing_reports + reentrancy_reports != 0 && options.exit_code != 0 ? options.exit_code : status;
}
#endif

}  // namespace tavo::frontend

using namespace tavo::frontend;

// For a debugger stopped at a data-sharing detection: the report the reporter would print, as
// text (stacks, location, locks, threads), whatever the suppressions and earlier reports. Filled
// before the stop and kept until the next detection; read from memory, as a debugger cannot always
// call a function in the program.
extern "C" {
struct tavo_frontend_report_t {
    const char* text;  // null when there is none
    std::uint64_t length;
};
TAVO_API tavo_frontend_report_t __tavo_frontend_report = {nullptr, 0};
}

namespace {

void describe_for_debugger() {
    __tavo_frontend_report = {nullptr, 0};
    if (!build_sharing_report(__tavo_current_detection.sharing, false)) return;
    // The text functions print to the reporter's writer: the debugger's takes its place meanwhile.
    std::swap(out, described);
    out.clear();
    text_report();
    std::swap(out, described);
    const char* text = described.text();
    __tavo_frontend_report = {text, std::strlen(text)};
}

}  // namespace

// The library's calls to its stop come here (the link wraps them): the debugger's breakpoint is on
// the bare stop, so what a debugger reads is ready before it stops, and the reporter speaks after.
extern "C" void __real___tavo_switch_to_debugger(void);
extern "C" void __wrap___tavo_switch_to_debugger(void) {
    if (passive && __tavo_event_reason == TAVO_EVENT_DATA_SHARING) describe_for_debugger();
    if (stop_wanted()) __real___tavo_switch_to_debugger();
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
