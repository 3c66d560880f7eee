#include "stream.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

// Entry stubs: each calls one entry from a fixed place, so the call site the library records (the
// return address) is known to the model. A label marks the return address of every call.
#define TAVO_STUB(name, target)                                                                   \
    ".globl " name "\n.type " name ",@function\n.balign 16\n" name ":\n"                          \
    "  subq $8, %rsp\n  call " target "@PLT\n.globl " name "_site\n" name "_site:\n"              \
    "  addq $8, %rsp\n  ret\n.size " name ", .-" name "\n"
#define TAVO_STUBS4(name, target) \
    TAVO_STUB(name "_0", target) TAVO_STUB(name "_1", target) TAVO_STUB(name "_2", target) TAVO_STUB(name "_3", target)

asm(".text\n"
    TAVO_STUBS4("tavo_stub_read", "_TAVO_readMemory")
    TAVO_STUBS4("tavo_stub_write", "_TAVO_writeMemory")
    TAVO_STUBS4("tavo_stub_update", "_TAVO_updateMemory")
    TAVO_STUBS4("tavo_stub_atomic", "_TAVO_atomicUpdate")
    TAVO_STUB("tavo_stub_enter_function", "_TAVO_enterFunction")
    TAVO_STUB("tavo_stub_leave_function", "_TAVO_leaveFunction")
    TAVO_STUB("tavo_stub_enter_task", "_TAVO_enterGenericTask")
    TAVO_STUB("tavo_stub_leave_task", "_TAVO_leaveGenericTask")
    TAVO_STUB("tavo_stub_activate", "_TAVO_activateTaskType")
    TAVO_STUB("tavo_stub_acquire", "_TAVO_syncAcquire")
    TAVO_STUB("tavo_stub_release", "_TAVO_syncRelease")
    TAVO_STUB("tavo_stub_acquire_weak", "_TAVO_syncAcquireWeak")
    TAVO_STUB("tavo_stub_release_weak", "_TAVO_syncReleaseWeak")
    TAVO_STUB("tavo_stub_destroy", "_TAVO_syncDestroy")
    TAVO_STUB("tavo_stub_alias", "_TAVO_syncAlias")
    TAVO_STUB("tavo_stub_allocate", "_TAVO_syncAllocate")
    TAVO_STUB("tavo_stub_fork", "_TAVO_syncForkTask")
    TAVO_STUB("tavo_stub_fork_current", "_TAVO_syncForkTaskCurrent")
    TAVO_STUB("tavo_stub_fork_nowait", "_TAVO_syncForkTaskNowait")
    TAVO_STUB("tavo_stub_join", "_TAVO_syncJoin")
    TAVO_STUB("tavo_stub_taskwait", "_TAVO_syncTaskwait")
    TAVO_STUB("tavo_stub_taskwait_current", "_TAVO_syncTaskwaitCurrent")
    ".text\n");

#define TAVO_SITE4(name) extern const char name##_0_site[], name##_1_site[], name##_2_site[], name##_3_site[];
extern "C" {
TAVO_SITE4(tavo_stub_read)
TAVO_SITE4(tavo_stub_write)
TAVO_SITE4(tavo_stub_update)
TAVO_SITE4(tavo_stub_atomic)
extern const char tavo_stub_enter_function_site[], tavo_stub_leave_function_site[], tavo_stub_enter_task_site[],
    tavo_stub_leave_task_site[], tavo_stub_activate_site[], tavo_stub_acquire_site[], tavo_stub_release_site[],
    tavo_stub_acquire_weak_site[], tavo_stub_release_weak_site[], tavo_stub_destroy_site[], tavo_stub_alias_site[],
    tavo_stub_allocate_site[], tavo_stub_fork_site[], tavo_stub_fork_current_site[], tavo_stub_fork_nowait_site[],
    tavo_stub_join_site[], tavo_stub_taskwait_site[], tavo_stub_taskwait_current_site[];
}

namespace differential {

namespace {

const char* const stub_sites[] = {
    tavo_stub_read_0_site, tavo_stub_read_1_site, tavo_stub_read_2_site, tavo_stub_read_3_site,
    tavo_stub_write_0_site, tavo_stub_write_1_site, tavo_stub_write_2_site, tavo_stub_write_3_site,
    tavo_stub_update_0_site, tavo_stub_update_1_site, tavo_stub_update_2_site, tavo_stub_update_3_site,
    tavo_stub_atomic_0_site, tavo_stub_atomic_1_site, tavo_stub_atomic_2_site, tavo_stub_atomic_3_site,
    tavo_stub_enter_function_site, tavo_stub_leave_function_site, tavo_stub_enter_task_site,
    tavo_stub_leave_task_site, tavo_stub_activate_site, tavo_stub_acquire_site, tavo_stub_release_site,
    tavo_stub_acquire_weak_site, tavo_stub_release_weak_site, tavo_stub_destroy_site, tavo_stub_alias_site,
    tavo_stub_allocate_site, tavo_stub_fork_site, tavo_stub_fork_current_site, tavo_stub_fork_nowait_site,
    tavo_stub_join_site, tavo_stub_taskwait_site, tavo_stub_taskwait_current_site,
};

// Watched functions: some entries are jump stubs (0xE9 and a 32-bit displacement), two of them
// leading to the same function at offset 40.
constexpr std::uint8_t jump(int from, int to, int byte) {
    const auto displacement = static_cast<std::uint32_t>(to - from - 5);
    return static_cast<std::uint8_t>(displacement >> (8 * byte));
}
#define TAVO_JUMP(from, to) 0xE9, jump(from, to, 0), jump(from, to, 1), jump(from, to, 2), jump(from, to, 3)
alignas(64) const std::uint8_t functions[function_table_size] = {
    0x90, 0, 0, 0, 0, 0, 0, 0,  0x90, 0, 0, 0, 0, 0, 0, 0,  // 0, 8
    TAVO_JUMP(16, 40), 0, 0, 0,                              // 16 -> 40
    TAVO_JUMP(24, 40), 0, 0, 0,                              // 24 -> 40
    0x90, 0, 0, 0, 0, 0, 0, 0,  0x90, 0, 0, 0, 0, 0, 0, 0,  // 32, 40
    TAVO_JUMP(48, 8), 0, 0, 0,                               // 48 -> 8
    0x90, 0, 0, 0, 0, 0, 0, 0,                               // 56
};

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

event_t make(op_t op, int thread) {
    event_t event;
    event.op = op;
    event.thread = static_cast<std::uint8_t>(thread);
    return event;
}

}  // namespace

const char* op_name(op_t op) {
    static const char* const names[] = {
        "read", "write", "update", "atomic", "enter_function", "leave_function", "enter_task", "leave_task",
        "enter_task_plain", "leave_task_plain", "activate", "acquire", "release", "acquire_weak", "release_weak",
        "destroy", "notify_acquired", "notify_releasing", "notify_destroy", "alias", "allocate", "fork",
        "fork_current", "fork_nowait", "join", "taskwait", "taskwait_current", "warn", "warn_from", "debugger",
        "thread_exit"};
    static_assert(std::size(names) == static_cast<std::size_t>(op_t::thread_exit) + 1);
    return names[static_cast<std::size_t>(op)];
}

int stub_count() { return static_cast<int>(std::size(stub_sites)); }
std::uint64_t stub_site_by_index(int index) { return reinterpret_cast<std::uintptr_t>(stub_sites[index]); }

// Index of an op's stub in stub_sites, -1 for ops that have none; accesses have one per variant.
int stub_index(op_t op, int variant) {
    static constexpr int first[] = {0,  4,  8,  12, 16, 17, -1, -1, 18, 19, 20, 21, 22, 23, 24, 25,
                                    -1, -1, -1, 26, 27, 28, 29, 30, 31, 32, 33, -1, -1, -1, -1};
    static_assert(std::size(first) == static_cast<std::size_t>(op_t::thread_exit) + 1);
    const int index = first[static_cast<std::size_t>(op)];
    return op <= op_t::atomic ? index + variant : index;
}

std::uint64_t stub_site(op_t op, int variant) {
    const int index = stub_index(op, variant);
    return index < 0 ? 0 : stub_site_by_index(index);
}

const std::uint8_t* function_table() { return functions; }

stream_t& stream_t::access(op_t op, int thread, std::uint64_t address, std::uint32_t size, int variant) {
    event_t event = make(op, thread);
    event.id = address;
    event.target_type = size;
    event.variant = static_cast<std::uint8_t>(variant);
    events.push_back(event);
    return *this;
}

stream_t& stream_t::enter_function(int thread, std::uint64_t function, std::uint64_t frame) {
    event_t event = make(op_t::enter_function, thread);
    event.id = function;
    event.target_id = frame;
    events.push_back(event);
    return *this;
}

stream_t& stream_t::leave_function(int thread, std::uint64_t function, std::uint64_t frame) {
    event_t event = make(op_t::leave_function, thread);
    event.id = function;
    event.target_id = frame;
    events.push_back(event);
    return *this;
}

stream_t& stream_t::enter_task(int thread, std::int32_t type, std::uint64_t id, std::uint64_t site) {
    event_t event = make(op_t::enter_task, thread);
    event.type = type;
    event.id = id;
    event.site = site;
    events.push_back(event);
    return *this;
}

stream_t& stream_t::leave_task(int thread, std::int32_t type, std::uint64_t id, std::uint64_t site) {
    enter_task(thread, type, id, site);
    events.back().op = op_t::leave_task;
    return *this;
}

stream_t& stream_t::enter_thread_task(int thread, std::int32_t type, int of_thread, std::uint64_t site) {
    enter_task(thread, type, static_cast<std::uint64_t>(of_thread), site);
    events.back().id_is_thread = true;
    return *this;
}

stream_t& stream_t::leave_thread_task(int thread, std::int32_t type, int of_thread, std::uint64_t site) {
    leave_task(thread, type, static_cast<std::uint64_t>(of_thread), site);
    events.back().id_is_thread = true;
    return *this;
}

stream_t& stream_t::plain(op_t op, int thread, std::int32_t type, std::uint64_t id, bool id_is_thread) {
    event_t event = make(op, thread);
    event.type = type;
    event.id = id;
    event.id_is_thread = id_is_thread;
    events.push_back(event);
    return *this;
}

stream_t& stream_t::activate(int thread, std::int32_t type) { return plain(op_t::activate, thread, type, 0); }
stream_t& stream_t::sync(op_t op, int thread, std::int32_t type, std::uint64_t id) { return plain(op, thread, type, id); }
stream_t& stream_t::notify(op_t op, int thread, std::uint64_t address) { return plain(op, thread, 0, address); }

stream_t& stream_t::alias(int thread, std::uint32_t type, std::uint64_t id, std::uint32_t target_type,
                          std::uint64_t target_id) {
    plain(op_t::alias, thread, static_cast<std::int32_t>(type), id);
    events.back().target_type = target_type;
    events.back().target_id = target_id;
    return *this;
}

stream_t& stream_t::allocate(int thread) { return plain(op_t::allocate, thread, 0, 0); }
stream_t& stream_t::fork(int thread, std::int32_t type, std::uint64_t id, bool id_is_thread) {
    return plain(op_t::fork, thread, type, id, id_is_thread);
}
stream_t& stream_t::fork_current(int thread) { return plain(op_t::fork_current, thread, 0, 0); }
stream_t& stream_t::fork_nowait(int thread) { return plain(op_t::fork_nowait, thread, 0, 0); }
stream_t& stream_t::join(int thread, std::uint64_t fork_id) { return plain(op_t::join, thread, 0, fork_id); }
stream_t& stream_t::taskwait(int thread, std::int32_t type, std::uint64_t id, bool id_is_thread) {
    return plain(op_t::taskwait, thread, type, id, id_is_thread);
}
stream_t& stream_t::taskwait_current(int thread) { return plain(op_t::taskwait_current, thread, 0, 0); }
stream_t& stream_t::warn(int thread, std::int32_t code) { return plain(op_t::warn, thread, code, 0); }
stream_t& stream_t::warn_from(int thread, std::int32_t code, std::uint64_t site) {
    plain(op_t::warn_from, thread, code, 0);
    events.back().site = site;
    return *this;
}

stream_t& stream_t::debugger(const debugger_action_t& action) {
    event_t event = make(op_t::debugger_write, 0);
    event.at_stops.push_back(action);
    events.push_back(event);
    return *this;
}

stream_t& stream_t::thread_exit(int thread) { return plain(op_t::thread_exit, thread, 0, 0); }

stream_t& stream_t::at_stop(const debugger_action_t& action) {
    events.back().at_stops.push_back(action);
    return *this;
}

int stream_t::thread_count() const {
    int count = 0;
    for (const event_t& event : events) {
        if (event.op != op_t::debugger_write) count = std::max(count, event.thread + 1);
    }
    return count;
}

void apply_action(const debugger_action_t& action, tavo_config_t& config, tavo_filter_record_t* buffer,
                  std::uint32_t capacity) {
    config.request = (config.request & ~action.clear_request) | action.set_request;
    if (action.write_flags) config.flags = action.flags;
    if (action.write_version) config.version = action.version;
    if (action.write_count) config.filter_count = action.count;
    for (std::size_t index = 0; index < action.records.size() && index < capacity && buffer != nullptr; ++index) {
        const filter_plan_t& plan = action.records[index];
        tavo_filter_record_t record{};
        record.feature = plan.feature;
        record.target = plan.target;
        record.operation = plan.operation;
        record.first = plan.first;
        if (plan.first_site >= 0) record.first += stub_site_by_index(plan.first_site);
        if (plan.first_site == filter_plan_t::function_table_base) record.first += reinterpret_cast<std::uintptr_t>(functions);
        record.second = plan.second;
        buffer[index] = record;
    }
}

debugger_action_t action_at(const event_t& event, std::size_t ordinal) {
    if (event.op == op_t::debugger_write) return {};
    if (ordinal < event.at_stops.size()) return event.at_stops[ordinal];
    if (ordinal < event.at_stops.size() + stops_before_cleanup) return {};
    debugger_action_t cleanup;
    cleanup.clear_request = ~0u;
    cleanup.write_version = true;
    return cleanup;
}

void complete(stream_t& stream) {
    const int threads = stream.thread_count();
    std::vector<bool> exited(static_cast<std::size_t>(threads), false);
    for (const event_t& event : stream.events) {
        if (event.op == op_t::thread_exit) exited[event.thread] = true;
    }
    for (int thread = 0; thread < threads; ++thread) {
        if (!exited[static_cast<std::size_t>(thread)]) stream.thread_exit(thread);
    }
}

std::string describe(const stop_t& stop) {
    std::ostringstream text;
    text << "event " << stop.event << ": reason " << stop.reason << " site " << hex(stop.site) << " block {"
         << stop.config.version << ", " << hex(stop.config.request) << ", " << hex(stop.config.flags) << ", "
         << stop.config.filter_count << "} mask " << hex(stop.active_mask);
    auto access = [&](const tavo_access_t& a) {
        text << " (" << a.access_type << ", " << a.size << ", " << hex(a.address) << ", " << a.task_type << "."
             << hex(a.task_id) << " @ " << hex(a.code_address) << ")";
    };
    if (stop.reason == TAVO_EVENT_DATA_SHARING) {
        text << "\n    offending";
        access(stop.offending);
        text << "\n    offended";
        for (const tavo_access_t& a : stop.offended) access(a);
    }
    if (stop.reason == TAVO_EVENT_REENTRANT_CALL) {
        text << "\n    function " << hex(stop.function) << " offenses";
        for (const tavo_offense_t& o : stop.offenses) text << " (" << o.task_type << "." << hex(o.task_id) << ")";
    }
    return text.str();
}

std::string describe(const event_t& event) {
    std::ostringstream text;
    text << op_name(event.op) << " thread " << int{event.thread} << " type " << event.type << " id "
         << (event.id_is_thread ? "thread " : "") << hex(event.id) << " target " << event.target_type << ", "
         << hex(event.target_id) << " site " << hex(event.site) << " variant " << int{event.variant};
    return text.str();
}

namespace {

std::string action_cpp(const debugger_action_t& action) {
    std::ostringstream text;
    text << "action()";
    if (action.set_request != 0) text << ".set(" << hex(action.set_request) << ")";
    if (action.clear_request != 0) text << ".clear(" << hex(action.clear_request) << ")";
    if (action.write_flags) text << ".flags(" << hex(action.flags) << ")";
    if (action.write_version) text << ".version(" << action.version << ")";
    if (action.write_count) text << ".count(" << action.count << ")";
    for (const filter_plan_t& r : action.records) {
        text << ".record(" << int{r.feature} << ", " << int{r.target} << ", " << int{r.operation} << ", "
             << hex(r.first) << ", " << hex(r.second) << ", " << r.first_site << ")";
    }
    return text.str();
}

}  // namespace

std::string to_cpp(const stream_t& stream, const std::string& name) {
    std::ostringstream text;
    text << "TEST(differential_regression, " << name << ") {\n    stream_t s;\n";
    for (const event_t& e : stream.events) {
        const int t = e.thread;
        text << "    s.";
        switch (e.op) {
        case op_t::read: case op_t::write: case op_t::update: case op_t::atomic:
            text << op_name(e.op) << "(" << t << ", " << hex(e.id) << ", " << e.target_type << ", " << int{e.variant} << ")";
            break;
        case op_t::enter_function: case op_t::leave_function:
            text << op_name(e.op) << "(" << t << ", " << e.id << ", " << hex(e.target_id) << ")";
            break;
        case op_t::enter_task: case op_t::leave_task:
            if (e.id_is_thread) text << (e.op == op_t::enter_task ? "enter_thread_task(" : "leave_thread_task(");
            else text << op_name(e.op) << "(";
            text << t << ", " << e.type << ", "
                 << (e.id_is_thread ? std::to_string(e.id) : hex(e.id)) << ", " << hex(e.site) << ")";
            break;
        case op_t::alias:
            text << "alias(" << t << ", " << e.type << ", " << hex(e.id) << ", " << e.target_type << ", "
                 << hex(e.target_id) << ")";
            break;
        case op_t::warn_from:
            text << "warn_from(" << t << ", " << e.type << ", " << hex(e.site) << ")";
            break;
        case op_t::debugger_write:
            text << "debugger(" << action_cpp(e.at_stops.empty() ? debugger_action_t{} : e.at_stops.front()) << ")";
            break;
        case op_t::thread_exit: case op_t::allocate: case op_t::fork_current: case op_t::fork_nowait:
        case op_t::taskwait_current:
            text << op_name(e.op) << "(" << t << ")";
            break;
        case op_t::activate: case op_t::warn:
            text << op_name(e.op) << "(" << t << ", " << e.type << ")";
            break;
        case op_t::join:
            text << "join(" << t << ", " << e.id << ")";
            break;
        case op_t::notify_acquired: case op_t::notify_releasing: case op_t::notify_destroy:
            text << "notify(op_t::" << op_name(e.op) << ", " << t << ", " << hex(e.id) << ")";
            break;
        default:
            text << "plain(op_t::" << op_name(e.op) << ", " << t << ", " << e.type << ", " << hex(e.id) << ", "
                 << (e.id_is_thread ? "true" : "false") << ")";
            break;
        }
        if (e.op != op_t::debugger_write) {
            for (const debugger_action_t& action : e.at_stops) text << ".at_stop(" << action_cpp(action) << ")";
        }
        text << ";\n";
    }
    text << "    expect_agreement(s);\n}\n";
    return text.str();
}

}  // namespace differential
