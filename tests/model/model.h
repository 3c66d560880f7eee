// The reference model: what the library must report for a stream of events, written to be read
// rather than to be fast. Ordinary maps and vectors, one event at a time, no concurrency.
//
// Where the library deliberately behaves otherwise than a first reading would suggest (mended
// faults, choices left open), the model follows the library; each such point is marked
// "Library:" below.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "stream.h"

namespace differential {

struct model_options_t {
    bool tsm = true;  // the data-sharing check records and reports accesses
    bool re = true;   // function entries and exits keep call stacks and report reentrant calls
    // A scan that meets only conflicts already on the list still marks the cell (the library's
    // choice).
    bool flag_on_any_conflict = true;
};

using vector_clock_t = std::map<std::uint16_t, std::uint64_t>;  // handle -> time; absent is 0

struct range_t {
    std::uint64_t base;
    std::uint32_t length;
    std::uint64_t end() const { return base + length; }
};

struct filter_t {
    std::vector<range_t> code, data;
    std::set<std::uint64_t> tasks;
    std::uint32_t polarity = 1;
};

struct task_t {
    std::int32_t type = 0;
    std::uint64_t id = 0;
    std::uint16_t handle = 0;
    std::uint16_t parent = 0;  // handle of the enclosing task on the same thread, 0 for none
    int thread = 0;
    std::uint64_t time = 1;
    vector_clock_t clock;
    bool exempt = false;
    std::vector<std::uint64_t> wait_list;  // fork ids, most recent first
};

// An ended task kept with its records (flags bit TAVO_FLAG_KEEP_ENDED_TASKS).
struct kept_task_t {
    std::int32_t type = 0;
    std::uint64_t id = 0;
    std::uint16_t handle = 0;
    std::uint64_t last_time = 0;  // of its newest record
};

struct thread_state_t {
    bool has_record = false;
    bool exited = false;
    std::uint64_t last_site = 0;
    std::uint16_t current = 0;
};

// One access as the shadow memory keeps it: per task, granule and access type.
struct access_record_t {
    std::uint64_t time;
    std::uint64_t site;
    std::uint8_t offset, length, back, total;
    bool same_position(const access_record_t& other) const {
        return offset == other.offset && length == other.length && back == other.back && total == other.total;
    }
};

struct shadow_cell_t {
    std::vector<std::uint16_t> slots;  // task handle per slot, 0 free; the scan order
    std::map<std::uint16_t, std::array<std::vector<access_record_t>, 4>> entries;  // newest first
    bool conflict_seen = false;
};

using sync_key_t = std::pair<std::uint32_t, std::uint64_t>;
using call_key_t = std::pair<std::int32_t, std::uint64_t>;  // (task type, task id), signed then unsigned
struct call_entry_t {
    std::uint64_t function, frame;
};

class model_t {
public:
    using debugger_t = std::function<debugger_action_t(const stop_t&, std::size_t ordinal)>;

    explicit model_t(model_options_t options = {});

    // Runs one event on its thread; at each stop the debugger says what it writes.
    void run(const event_t& event, std::size_t index, const debugger_t& debugger);

    const std::vector<stop_t>& stops() const { return stops_; }
    const std::vector<std::uint64_t>& results() const { return results_; }

    // What the generator looks at to choose meaningful events.
    const tavo_config_t& config() const { return config_; }
    std::uint32_t filter_capacity() const { return capacity_; }
    std::uint32_t written_records() const { return written_; }
    const thread_state_t& thread(int index) const { return threads_[static_cast<std::size_t>(index)]; }
    const std::map<std::uint16_t, task_t>& tasks() const { return tasks_; }
    std::vector<const task_t*> chain(int thread) const;  // innermost first
    const std::vector<std::uint64_t>& fork_ids() const { return fork_ids_; }
    std::uint16_t live_count(int type) const { return live_[static_cast<std::size_t>(type)]; }
    std::uint32_t active_mask() const { return mask_; }
    std::uint64_t events_run() const { return events_run_; }

private:
    // Debugger protocol.
    void report(std::int32_t reason, std::uint64_t site);
    std::int32_t poll();
    std::int32_t apply_filter_batch();
    void apply_pending();
    std::uint32_t mask_rule() const;
    bool concurrency() const;
    bool tasks_may_overlap() const;

    // Errors.
    void raise_usage(std::int32_t code, std::uint64_t site);
    void raise_usage_at_thread_site(std::int32_t code);
    void raise_system_at_thread_site(std::int32_t code);
    std::uint64_t thread_site();

    // Threads and tasks.
    thread_state_t& me() { return threads_[static_cast<std::size_t>(thread_)]; }
    bool frame(std::uint32_t family_bits);
    void obtain_record();
    task_t* current();
    task_t* find_task(std::int32_t type, std::uint64_t id);
    void enter_task(std::int32_t type, std::uint64_t id, std::uint64_t site);
    void leave_task(std::int32_t type, std::uint64_t id, std::uint64_t site);
    bool end_task(task_t& task, std::uint64_t site);
    void forget_ordered_kept_tasks();
    void forget_kept_task(std::uint16_t handle);
    void destroy_task(std::uint16_t handle);
    void tear_down_thread();
    bool site_unwatched_by_tsm_filter(std::uint64_t site) const;
    void count_entry(std::int32_t type);

    // Synchronisation.
    void sync_operation(sync_key_t object, std::uint32_t order, std::uint64_t site);
    sync_key_t resolve(sync_key_t object) const;
    std::uint64_t begin_fork(std::uint64_t site);
    task_t* named_task(std::int32_t type, std::uint64_t id, std::uint64_t site);
    void wait_for(task_t* waiter, std::uint64_t site);

    // Detectors.
    void access(std::uint32_t access_type, std::uint64_t address, std::uint32_t size, std::uint64_t site);
    void check_access(task_t& task, std::uint64_t address, std::uint32_t size, std::uint32_t access_type,
                      std::uint64_t site);
    void function_event(bool enters, std::uint64_t function, std::uint64_t frame, std::uint64_t site);
    void forget_accesses(std::uint16_t handle);

    model_options_t options_;
    const debugger_t* debugger_ = nullptr;
    std::size_t event_index_ = 0;
    std::size_t stop_ordinal_ = 0;
    int thread_ = 0;
    std::uint64_t events_run_ = 0;

    // Debugger-visible words.
    tavo_config_t config_{TAVO_CONFIG_VERSION, 0, 0, 0};
    std::uint32_t mask_ = 0xFFFFFFE1u;  // as it stands once the library has loaded
    std::int32_t event_reason_ = 0;
    std::uint64_t detection_site_ = 0;
    tavo_access_t detection_offending_{};
    std::vector<tavo_access_t> detection_offended_;
    std::uint64_t detection_function_ = 0;
    std::vector<tavo_offense_t> detection_offenses_;
    std::vector<tavo_filter_record_t> buffer_;
    std::uint32_t capacity_ = 0;
    std::uint32_t written_ = 0;
    std::optional<filter_t> filters_[2];  // tsm, re

    std::array<std::uint16_t, 4> live_{}, activation_{};
    std::vector<thread_state_t> threads_;
    std::map<std::uint16_t, task_t> tasks_;
    std::vector<kept_task_t> kept_;  // oldest first
    std::uint64_t next_sync_id_ = 1;
    std::map<sync_key_t, vector_clock_t> sync_objects_;
    std::map<sync_key_t, sync_key_t> aliases_;
    std::vector<std::uint64_t> fork_ids_;

    std::map<std::uint64_t, shadow_cell_t> shadow_;
    std::map<call_key_t, std::vector<call_entry_t>> call_stacks_;

    std::vector<stop_t> stops_;
    std::vector<std::uint64_t> results_;
};

}  // namespace differential
