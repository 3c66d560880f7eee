// The differential test: an event stream is what a program on several threads asks of the library,
// one event at a time, and what the debugger writes at each stop. The reference model (model.h) and
// the real library both run it; their outcomes must agree line for line.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tavo/tavo.h"

namespace differential {

// Each op before `debugger` is one entry of the library; its arguments are event_t::arg in order:
//   read, write, update, atomic: address, size
//   enter_function, leave_function: offset into the function table, frame
//   enter_task, leave_task: type, id, site (the From entries); enter_task_plain, leave_task_plain: type, id
//   activate: type; acquire, release, acquire_weak, release_weak, destroy: type, id
//   notify_acquired, notify_releasing, notify_destroy: address of the object
//   alias: type, id, target type, target id; allocate, fork_current, fork_nowait: none; fork: type, id
//   join: fork id; taskwait: type, id; taskwait_current: none; warn: code; warn_from: code, site
// debugger is the block written while all threads run; thread_exit ends the thread.
enum class op_t : std::uint8_t {
    read, write, update, atomic, enter_function, leave_function, enter_task, leave_task, enter_task_plain, leave_task_plain, activate,
    acquire, release, acquire_weak, release_weak, destroy, notify_acquired, notify_releasing, notify_destroy, alias, allocate, fork,
    fork_current, fork_nowait, join, taskwait, taskwait_current, warn, warn_from, debugger, thread_exit
};

// A filter record the debugger writes. `first` may be relative to an entry stub's site (which
// differs between executables) or to the function table.
// base >= 0 is a stub's index.
struct filter_plan_t {
    static constexpr std::int32_t no_base = -1, function_table_base = -2;
    std::uint8_t feature = 1, target = 1, operation = 2;
    std::uint64_t first = 0, second = 0;
    std::int32_t base = no_base;
};

// What the debugger does while the process is stopped (or, for op_t::debugger, while it runs):
// writes of the block's words in order (request bits set or cleared, or a word replaced), then
// filter records from the start of the buffer.
enum field_t : std::uint8_t { set_request, clear_request, set_flags, set_version, set_count };
struct debugger_action_t { std::vector<std::pair<field_t, std::uint32_t>> writes; std::vector<filter_plan_t> records; };

// The variant says which of an op's stubs calls the entry (accesses come from several sites);
// id_is_thread, that arg[1] names a stream thread whose identifier is the task id; at_stops, the
// debugger's action at this event's n-th stop.
struct event_t {
    op_t op = op_t::write;
    std::uint8_t thread = 0, variant = 0;
    bool id_is_thread = false;
    std::uint64_t arg[4] = {};
    std::vector<debugger_action_t> at_stops;
};
using stream_t = std::vector<event_t>;

// A stop as the debugger sees it, one line: the reason, the block, the active mask and the detection.
struct stop_t {
    std::size_t event = 0;
    std::int32_t reason = 0;
    std::uint64_t site = 0;
    tavo_config_t config{};
    std::uint32_t active_mask = 0;
    tavo_access_t offending{};  // data sharing
    std::vector<tavo_access_t> offended;
    std::uint64_t function = 0;  // reentrant call
    std::vector<tavo_offense_t> offenses;
};
std::string describe(const stop_t& stop);

// What one run of a stream produced, as lines: first "completed" or why the run did not complete
// (a crash, a hang), then one line a stop and one for each id that allocate and the forks return.
using outcome_t = std::vector<std::string>;
inline std::string returned(std::uint64_t id) { return "returned " + std::to_string(id); }

// A task id that stands for the identifier of a stream thread, before the run knows it.
constexpr std::uint64_t thread_id_placeholder(int thread) { return 0x7A0000000000ull + static_cast<std::uint64_t>(thread); }

// Every op calls its entry through a stub of its own (accesses: one per variant), so that the
// call site the library records is known to the model.
constexpr int access_variants = 4;
std::uint64_t stub_site(op_t op, int variant = 0);
const std::uint8_t* function_table();

// The block as the debugger leaves it after an action; the filter buffer gets the records.
void apply_action(const debugger_action_t& action, tavo_config_t& config, tavo_filter_record_t* buffer, std::uint32_t capacity);

}  // namespace differential
