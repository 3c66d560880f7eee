// An event stream: what a program on several threads asks of the library, one event at a time,
// and what the debugger writes at each stop. The reference model and the real library both run
// it; their stops must agree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tavo/tavo.h"

namespace differential {

enum class op_t : std::uint8_t {
    read, write, update, atomic,                 // address, size, variant
    enter_function, leave_function,              // address (function table offset), frame
    enter_task, leave_task,                      // type, id, site (the From entries)
    enter_task_plain, leave_task_plain,          // type, id (the return-address entries)
    activate,                                    // type
    acquire, release, acquire_weak, release_weak, destroy,  // type, id
    notify_acquired, notify_releasing, notify_destroy,      // id (the object's address)
    alias,                                       // type, id, target_type, target_id
    allocate, fork, fork_current, fork_nowait,   // fork: type, id
    join,                                        // id
    taskwait, taskwait_current,                  // taskwait: type, id
    warn, warn_from,                             // type (the code), site
    debugger_write,                              // the scheduler writes the block while all threads run
    thread_exit,
};

const char* op_name(op_t op);

// A filter record the debugger writes. A code operand may be relative to the site of one of the
// entry stubs, which differs between executables.
struct filter_plan_t {
    std::uint8_t feature = 1;
    std::uint8_t target = 1;
    std::uint8_t operation = 2;
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::int32_t first_site = no_base;  // >= 0: first is an offset from that stub's site

    static constexpr std::int32_t no_base = -1;
    static constexpr std::int32_t function_table_base = -2;  // first is an offset into the function table
};

// What the debugger does while the process is stopped (or, for debugger_write, while it runs).
struct debugger_action_t {
    std::uint32_t set_request = 0;
    std::uint32_t clear_request = 0;
    bool write_flags = false;
    std::uint32_t flags = 0;
    bool write_version = false;
    std::uint32_t version = TAVO_CONFIG_VERSION;
    bool write_count = false;
    std::uint32_t count = 0;
    std::vector<filter_plan_t> records;  // written from the start of the filter buffer

    bool empty() const {
        return set_request == 0 && clear_request == 0 && !write_flags && !write_version && !write_count &&
               records.empty();
    }
};

// Fluent form of an action, as the printed regression tests write it.
struct action : debugger_action_t {
    action& set(std::uint32_t bits) { set_request |= bits; return *this; }
    action& clear(std::uint32_t bits) { clear_request |= bits; return *this; }
    action& flags(std::uint32_t value) { write_flags = true; debugger_action_t::flags = value; return *this; }
    action& version(std::uint32_t value) { write_version = true; debugger_action_t::version = value; return *this; }
    action& count(std::uint32_t value) { write_count = true; debugger_action_t::count = value; return *this; }
    action& record(int feature, int target, int operation, std::uint64_t first, std::uint64_t second, int first_site = -1) {
        records.push_back({static_cast<std::uint8_t>(feature), static_cast<std::uint8_t>(target),
                           static_cast<std::uint8_t>(operation), first, second, first_site});
        return *this;
    }
};

struct event_t {
    op_t op = op_t::write;
    std::uint8_t thread = 0;
    std::int32_t type = 0;         // task type, sync type, warning code
    std::uint64_t id = 0;          // task id, sync id, fork id, address, function offset
    bool id_is_thread = false;     // id names a thread of the stream: the task id is its identifier
    std::uint32_t target_type = 0; // alias target; access and function: size, frame
    std::uint64_t target_id = 0;
    std::uint64_t site = 0;
    std::uint8_t variant = 0;      // which stub of the entry: accesses come from several sites
    std::vector<debugger_action_t> at_stops;  // the debugger's action at this event's n-th stop
};

struct stream_t {
    std::vector<event_t> events;

    // Builders, as the printed regression tests use them.
    stream_t& access(op_t op, int thread, std::uint64_t address, std::uint32_t size, int variant = 0);
    stream_t& read(int thread, std::uint64_t address, std::uint32_t size, int variant = 0) { return access(op_t::read, thread, address, size, variant); }
    stream_t& write(int thread, std::uint64_t address, std::uint32_t size, int variant = 0) { return access(op_t::write, thread, address, size, variant); }
    stream_t& update(int thread, std::uint64_t address, std::uint32_t size, int variant = 0) { return access(op_t::update, thread, address, size, variant); }
    stream_t& atomic(int thread, std::uint64_t address, std::uint32_t size, int variant = 0) { return access(op_t::atomic, thread, address, size, variant); }
    stream_t& enter_function(int thread, std::uint64_t function, std::uint64_t frame);
    stream_t& leave_function(int thread, std::uint64_t function, std::uint64_t frame);
    stream_t& enter_task(int thread, std::int32_t type, std::uint64_t id, std::uint64_t site);
    stream_t& leave_task(int thread, std::int32_t type, std::uint64_t id, std::uint64_t site);
    // The task whose id is the identifier of thread `of_thread` (an initial task, usually).
    stream_t& enter_thread_task(int thread, std::int32_t type, int of_thread, std::uint64_t site);
    stream_t& leave_thread_task(int thread, std::int32_t type, int of_thread, std::uint64_t site);
    stream_t& plain(op_t op, int thread, std::int32_t type, std::uint64_t id, bool id_is_thread = false);
    stream_t& activate(int thread, std::int32_t type);
    stream_t& sync(op_t op, int thread, std::int32_t type, std::uint64_t id);
    stream_t& notify(op_t op, int thread, std::uint64_t address);
    stream_t& alias(int thread, std::uint32_t type, std::uint64_t id, std::uint32_t target_type, std::uint64_t target_id);
    stream_t& allocate(int thread);
    stream_t& fork(int thread, std::int32_t type, std::uint64_t id, bool id_is_thread = false);
    stream_t& fork_current(int thread);
    stream_t& fork_nowait(int thread);
    stream_t& join(int thread, std::uint64_t fork_id);
    stream_t& taskwait(int thread, std::int32_t type, std::uint64_t id, bool id_is_thread = false);
    stream_t& taskwait_current(int thread);
    stream_t& warn(int thread, std::int32_t code);
    stream_t& warn_from(int thread, std::int32_t code, std::uint64_t site);
    stream_t& debugger(const debugger_action_t& action);
    stream_t& thread_exit(int thread);
    // The debugger's action at the next stop of the last event.
    stream_t& at_stop(const debugger_action_t& action);

    int thread_count() const;
};

// A stop as the debugger sees it: the event reason, the detection record with its lists, and
// the block and the active mask at that moment.
struct stop_t {
    std::size_t event = 0;  // index of the event during which it happened
    std::int32_t reason = 0;
    std::uint64_t site = 0;
    tavo_config_t config{};
    std::uint32_t active_mask = 0;
    tavo_access_t offending{};
    std::vector<tavo_access_t> offended;
    std::uint64_t function = 0;
    std::vector<tavo_offense_t> offenses;
};

// What one run of a stream produced.
struct outcome_t {
    std::vector<stop_t> stops;
    std::vector<std::uint64_t> results;  // ids returned by allocate and the forks, in order
    std::string failure;                 // a crash, a hang or a lost thread; empty when the run completed
};

// A task id that stands for the identifier of a stream thread, before the run knows it.
constexpr std::uint64_t thread_id_placeholder(int thread) { return 0x7A0000000000ull + static_cast<std::uint64_t>(thread); }

// Sites of the entry stubs, and the function table that function entries point into.
std::uint64_t stub_site(op_t op, int variant);
int stub_index(op_t op, int variant);
std::uint64_t stub_site_by_index(int index);
int stub_count();
constexpr int access_variants = 4;
const std::uint8_t* function_table();
constexpr std::size_t function_table_size = 64;

// The debugger's action at the given stop of an event. Past the stream's own actions a debugger
// that still sees stops after many more clears the request word, so that a run always ends.
debugger_action_t action_at(const event_t& event, std::size_t ordinal);
constexpr std::size_t stops_before_cleanup = 16;

// Ends, in index order, every thread the stream leaves running.
void complete(stream_t& stream);

// The whole block as the debugger leaves it after an action; the filter buffer gets the records.
void apply_action(const debugger_action_t& action, tavo_config_t& config, tavo_filter_record_t* buffer,
                  std::uint32_t capacity);

std::string describe(const stop_t& stop);
std::string describe(const event_t& event);
// The stream as C++ builder calls, ready to paste into a regression test.
std::string to_cpp(const stream_t& stream, const std::string& name);

}  // namespace differential
