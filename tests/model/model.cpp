#include "model.h"

#include <algorithm>

namespace differential {

namespace {

constexpr std::int32_t reason_updated = 3;
constexpr std::int32_t reason_ping = 4;
constexpr std::int32_t version_mismatch = -10000;
constexpr std::int32_t internal_error = -9999;
constexpr std::int32_t invalid_parameter = -30000;
constexpr std::int32_t unknown_feature = -29999;
constexpr std::int32_t bad_filter_operation = -29998;
constexpr std::int32_t filter_operation_failed = -29997;
constexpr std::int32_t task_nesting = -29995;
constexpr std::int32_t access_too_big = -29993;
constexpr std::int32_t no_such_task = -29991;
constexpr std::int32_t invalid_task_type = -29990;
constexpr std::int32_t invalid_sync_type = -29989;

enum : std::uint32_t { order_acquire = 2, order_release = 3, order_destroy = 16, order_weak_acquire = 32, order_weak_release = 33 };

bool is_usage(std::int32_t code) { return code >= -50000 && code <= -10001; }

// Range sets: a range precedes another when both its base and its end are lower; ranges neither
// of which precedes the other (equal, or one containing the other) are equivalent.
bool precedes(const range_t& a, const range_t& b) { return a.base < b.base && a.end() < b.end(); }
bool equivalent(const range_t& a, const range_t& b) { return !precedes(a, b) && !precedes(b, a); }
bool contains(const std::vector<range_t>& set, std::uint64_t base, std::uint64_t end) {
    return std::any_of(set.begin(), set.end(), [&](const range_t& r) { return r.base <= base && end <= r.end(); });
}

bool code_watched(const filter_t& filter, std::uint64_t address) {
    const bool in = contains(filter.code, address, address);
    if (filter.polarity == 0) return in;
    if (filter.polarity == 1) return !in;
    return false;
}

bool access_watched(const filter_t& filter, std::uint64_t address, std::uint32_t size, std::uint64_t site) {
    const bool data_in = contains(filter.data, address, address + size);
    const bool code_in = contains(filter.code, site, site);
    if (filter.polarity == 0) return data_in || code_in;
    if (filter.polarity == 1) return !data_in && !code_in;
    return false;
}

std::int32_t range_operation(std::vector<range_t>& set, const tavo_filter_record_t& record) {
    const range_t range{record.first, static_cast<std::uint32_t>(record.second)};
    switch (record.operation & 0xF) {
    case 1: set.clear(); return 0;
    case 2:
        for (const range_t& stored : set) {
            if (equivalent(stored, range)) return filter_operation_failed;
        }
        set.push_back(range);
        return 0;
    case 4: {
        const auto before = set.size();
        std::erase_if(set, [&](const range_t& stored) { return equivalent(stored, range); });
        return set.size() == before ? filter_operation_failed : 0;
    }
    default: return bad_filter_operation;
    }
}

std::int32_t task_operation(std::set<std::uint64_t>& set, const tavo_filter_record_t& record) {
    switch (record.operation & 0xF) {
    case 1: set.clear(); return 0;
    case 2: return set.insert(record.first).second ? 0 : filter_operation_failed;
    case 4: return set.erase(record.first) != 0 ? 0 : filter_operation_failed;
    default: return bad_filter_operation;
    }
}

std::int32_t apply_record(filter_t& filter, const tavo_filter_record_t& record) {
    switch (record.target & 0xF) {
    case 1: return range_operation(filter.code, record);
    case 2: return range_operation(filter.data, record);
    case 4: return task_operation(filter.tasks, record);
    case 8:
        if ((record.operation & 0xF) == 3) filter.polarity = 0;
        else if ((record.operation & 0xF) == 5) filter.polarity = 1;
        else return bad_filter_operation;
        return 0;
    default: return bad_filter_operation;
    }
}

void join(vector_clock_t& destination, const vector_clock_t& source) {
    for (const auto& [handle, time] : source) destination[handle] = std::max(destination[handle], time);
}

// Which earlier access types a current access of each type conflicts with.
constexpr bool conflict_table[4][4] = {
    {false, true, true, true},
    {true, true, true, true},
    {true, true, true, true},
    {true, true, true, false},
};

bool share_a_byte(std::uint8_t offset_a, std::uint8_t length_a, std::uint8_t offset_b, std::uint8_t length_b) {
    return offset_a == offset_b || (offset_a < offset_b + length_b && offset_b < offset_a + length_a);
}

std::uint64_t start_address(std::uint64_t granule, const access_record_t& position) {
    return position.offset != 0 ? granule + position.offset : granule - position.back;
}

bool same_access(const tavo_access_t& a, const tavo_access_t& b) {
    return a.access_type == b.access_type && a.size == b.size && a.address == b.address && a.task_type == b.task_type &&
           a.padding == b.padding && a.task_id == b.task_id && a.code_address == b.code_address;
}

// Identical descriptors enter the conflict list once; new ones go to its front.
bool push_front_once(std::vector<tavo_access_t>& list, const tavo_access_t& access) {
    for (const tavo_access_t& present : list) {
        if (same_access(present, access)) return false;
    }
    list.insert(list.begin(), access);
    return true;
}

}  // namespace

model_t::model_t(model_options_t options) : options_(options) {}

std::vector<const task_t*> model_t::chain(int thread) const {
    std::vector<const task_t*> result;
    if (static_cast<std::size_t>(thread) >= threads_.size()) return result;
    for (std::uint16_t handle = threads_[static_cast<std::size_t>(thread)].current; handle != 0;) {
        const task_t& task = tasks_.at(handle);
        result.push_back(&task);
        handle = task.parent;
    }
    return result;
}

// ---- Debugger protocol ----------------------------------------------------------------------

void model_t::report(std::int32_t reason, std::uint64_t site) {
    event_reason_ = reason;
    detection_site_ = site;
    while (event_reason_ != 0) {
        stop_t stop;
        stop.event = event_index_;
        stop.reason = event_reason_;
        stop.site = detection_site_;
        stop.config = config_;
        stop.active_mask = mask_;
        if (event_reason_ == TAVO_EVENT_DATA_SHARING) {
            stop.offending = detection_offending_;
            stop.offended = detection_offended_;
        }
        if (event_reason_ == TAVO_EVENT_REENTRANT_CALL) {
            stop.function = detection_function_;
            stop.offenses = detection_offenses_;
        }
        stops_.push_back(stop);
        const debugger_action_t action = (*debugger_)(stop, stop_ordinal_++);
        apply_action(action, config_, buffer_.data(), capacity_);
        written_ = std::max(written_, static_cast<std::uint32_t>(std::min<std::size_t>(action.records.size(), capacity_)));
        event_reason_ = poll();
    }
    mask_ = mask_rule();
}

std::int32_t model_t::poll() {
    if (config_.version != TAVO_CONFIG_VERSION) {
        config_.version = TAVO_CONFIG_VERSION;
        return version_mismatch;
    }
    std::int32_t result = 0;
    if (config_.request & TAVO_REQUEST_PING) {
        config_.request &= ~TAVO_REQUEST_PING;
        return reason_ping;
    }
    if (config_.request & TAVO_REQUEST_ALLOCATE) {
        capacity_ = config_.filter_count;
        buffer_.assign(capacity_, tavo_filter_record_t{});
        written_ = 0;
        config_.request &= ~TAVO_REQUEST_ALLOCATE;
        result = reason_updated;
    } else if (config_.request & TAVO_REQUEST_APPLY_FILTERS) {
        if (capacity_ < config_.filter_count) return invalid_parameter;
        if (const std::int32_t failure = apply_filter_batch(); failure != 0) return failure;
        config_.request &= ~TAVO_REQUEST_APPLY_FILTERS;
        result = reason_updated;
    }
    for (std::uint32_t index = 0; index < 2; ++index) {
        const std::uint32_t bit = 1u << index;
        if ((config_.request & bit) == 0) continue;
        if (index == 0) {
            if (options_.tsm) shadow_.clear();
        } else {
            if (options_.re) call_stacks_.clear();
        }
        config_.request &= ~bit;
        result = reason_updated;
    }
    if (config_.request & 0xFF) return unknown_feature;
    return result;
}

// All or nothing: the records work on copies that are installed only when every record succeeded.
std::int32_t model_t::apply_filter_batch() {
    std::optional<filter_t> pending[2];
    const std::uint32_t count = config_.filter_count;
    for (std::uint32_t index = 0; index < count; ++index) {
        const tavo_filter_record_t& record = buffer_[index];
        const int feature = record.feature == 1 ? 0 : record.feature == 2 ? 1 : -1;
        if (feature < 0) return unknown_feature;
        if (!pending[feature]) {
            if (filters_[feature]) {
                pending[feature] = filters_[feature];
            } else {
                pending[feature] = filter_t{};
                pending[feature]->polarity = feature == 0 ? 1 : 0;
            }
        }
        if (const std::int32_t failure = apply_record(*pending[feature], record); failure != 0) return failure;
        config_.filter_count = count - index - 1;
    }
    for (int feature = 0; feature < 2; ++feature) {
        if (pending[feature]) filters_[feature] = pending[feature];
    }
    return 0;
}

void model_t::apply_pending() { report(poll(), 0); }

bool model_t::concurrency() const {
    return (config_.flags & TAVO_FLAG_ALWAYS_CONCURRENT) || live_[2] != 0 || activation_[2] != 0 || live_[3] != 0 ||
           activation_[3] != 0;
}

bool model_t::tasks_may_overlap() const {
    return live_[1] >= 2 || live_[2] != 0 || activation_[2] != 0 || live_[3] != 0 || activation_[3] != 0;
}

std::uint32_t model_t::mask_rule() const {
    if ((mask_ & TAVO_ACTIVE_MASTER) == 0) return 0;
    const std::uint32_t flags = config_.flags;
    std::uint32_t mask = 0xFFFFFFE1u;
    if (concurrency()) {
        if (flags & TAVO_FLAG_TSM) {
            mask = 0xFFFFFFFFu;
            if (flags & TAVO_FLAG_IGNORE_READS) mask &= ~TAVO_ACTIVE_READS;
            if (flags & TAVO_FLAG_IGNORE_ATOMICS) mask &= ~TAVO_ACTIVE_ATOMICS;
        } else {
            mask = 0xFFFFFFE5u;
        }
        if ((flags & TAVO_FLAG_RE) == 0) mask &= ~TAVO_ACTIVE_FUNCTION;
    }
    return mask;
}

// ---- Errors ---------------------------------------------------------------------------------

void model_t::raise_usage(std::int32_t code, std::uint64_t site) {
    if (!is_usage(code)) return raise_system_at_thread_site(internal_error);
    report(code, site);
}

void model_t::raise_usage_at_thread_site(std::int32_t code) {
    if (!is_usage(code)) return raise_system_at_thread_site(internal_error);
    report(code, thread_site());
}

void model_t::raise_system_at_thread_site(std::int32_t code) { report(code, thread_site()); }

std::uint64_t model_t::thread_site() {
    obtain_record();
    return me().last_site;
}

// ---- Threads and tasks ----------------------------------------------------------------------

bool model_t::frame(std::uint32_t family_bits) {
    if (config_.request != 0) apply_pending();
    if ((mask_ & family_bits) == 0) return false;
    obtain_record();
    return true;
}

// A thread's first call that needs its record enters the thread's initial task.
void model_t::obtain_record() {
    if (me().has_record) return;
    me().has_record = true;
    me().last_site = 0;
    me().current = 0;
    if (config_.request != 0) apply_pending();
    if (mask_ & TAVO_ACTIVE_MASTER) enter_task(1, thread_id_placeholder(thread_), 0);
}

task_t* model_t::current() { return me().current != 0 ? &tasks_.at(me().current) : nullptr; }

task_t* model_t::find_task(std::int32_t type, std::uint64_t id) {
    for (std::uint16_t handle = me().current; handle != 0;) {
        task_t& task = tasks_.at(handle);
        if (task.type == type && task.id == id) return &task;
        handle = task.parent;
    }
    return nullptr;
}

bool model_t::site_unwatched_by_tsm_filter(std::uint64_t site) const {
    if (config_.flags & TAVO_FLAG_NO_TASK_FILTER) return false;
    return filters_[0] && !code_watched(*filters_[0], site);
}

void model_t::count_entry(std::int32_t type) {
    const auto index = static_cast<std::size_t>(type);
    ++live_[index];
    if (activation_[index] != 0) --activation_[index];
}

void model_t::enter_task(std::int32_t type, std::uint64_t id, std::uint64_t site) {
    // Library: invalid types are reported as such, at the entry's site.
    if (type < 0 || type > 4) return raise_usage(invalid_task_type, site);
    // Type 4 has no counters, but its entry recomputes the mask as every entry without a context does.
    if (type == 4) {
        mask_ = mask_rule();
        return;
    }
    if (type == 2 && !site_unwatched_by_tsm_filter(site)) {
        count_entry(type);
        mask_ = mask_rule();
        return;
    }
    std::uint16_t handle = 1;
    const auto kept = [&](std::uint16_t candidate) {
        return std::any_of(kept_.begin(), kept_.end(), [&](const kept_task_t& task) { return task.handle == candidate; });
    };
    while (tasks_.count(handle) != 0 || kept(handle)) ++handle;  // the lowest free handle
    task_t task;
    task.type = type;
    task.id = id;
    task.handle = handle;
    task.thread = thread_;
    task.parent = me().current;
    task.exempt = task.parent != 0 && tasks_.at(task.parent).exempt;
    tasks_[handle] = task;
    me().current = handle;
    count_entry(type);
    me().last_site = site;
    if ((config_.flags & TAVO_FLAG_TSM) && site_unwatched_by_tsm_filter(site)) tasks_[handle].exempt = true;
    mask_ = mask_rule();
}

void model_t::leave_task(std::int32_t type, std::uint64_t id, std::uint64_t site) {
    if (type < 0 || type > 4) return raise_usage(invalid_task_type, site);
    if (type == 4) {
        mask_ = mask_rule();
        return;
    }
    task_t* task = find_task(type, id);
    const auto index = static_cast<std::size_t>(type);
    if (task == nullptr) {
        if (type != 2) return raise_usage_at_thread_site(task_nesting);
        // Library: an unmatched exit of a light task does not wrap the live count.
        if (live_[index] != 0) --live_[index];
        mask_ = mask_rule();
        return;
    }
    // Library: a type-2 exit ends the type-2 context its entry created, as other types do.
    if (live_[index] != 0) --live_[index];
    me().last_site = site;
    const std::uint16_t handle = task->handle;
    end_task(*task, site);
    task_t& ending = tasks_.at(handle);
    if (me().current == handle) {
        me().current = ending.parent;
    } else {
        raise_usage(task_nesting, site);
        std::uint16_t above = me().current;
        while (tasks_.at(above).parent != handle) above = tasks_.at(above).parent;
        tasks_.at(above).parent = tasks_.at(handle).parent;
    }
    destroy_task(handle);
    if (config_.flags & TAVO_FLAG_KEEP_ENDED_TASKS) forget_ordered_kept_tasks();
    mask_ = mask_rule();
}

// The library forgets an ending task completely: its accesses, its call stack, its remaining
// forks, and its handle in every clock. With TAVO_FLAG_KEEP_ENDED_TASKS and records left, it forgets
// only the call stack and the forks, and keeps the rest (true) until every live task's clock orders
// the task's newest record; the bounds on kept tasks lie beyond any stream.
bool model_t::end_task(task_t& task, std::uint64_t site) {
    const std::uint16_t handle = task.handle;
    if (options_.re) call_stacks_.erase({task.type, task.id});
    const std::vector<std::uint64_t> forks = task.wait_list;
    for (std::uint64_t fork_id : forks) sync_operation({6, fork_id}, order_destroy, site);
    tasks_.at(handle).wait_list.clear();
    if (config_.flags & TAVO_FLAG_KEEP_ENDED_TASKS) {
        std::uint64_t last_time = 0;
        for (const auto& [granule, cell] : shadow_) {
            const auto entry = cell.entries.find(handle);
            if (entry == cell.entries.end()) continue;
            for (const std::vector<access_record_t>& records : entry->second)
                if (!records.empty()) last_time = std::max(last_time, records.front().time);
        }
        if (last_time != 0) {
            kept_.push_back({task.type, task.id, handle, last_time});
            return true;
        }
    }
    forget_kept_task(handle);
    return false;
}

void model_t::forget_kept_task(std::uint16_t handle) {
    if (options_.tsm) forget_accesses(handle);
    for (auto& [other_handle, other] : tasks_) {
        if (other_handle != handle) other.clock.erase(handle);
    }
    for (auto& [key, clock] : sync_objects_) clock.erase(handle);
    std::erase_if(kept_, [&](const kept_task_t& kept) { return kept.handle == handle; });
}

// After a task ends and after a task-end object is acquired.
void model_t::forget_ordered_kept_tasks() {
    std::vector<std::uint16_t> ordered;
    for (const kept_task_t& kept : kept_) {
        const bool by_all = std::all_of(tasks_.begin(), tasks_.end(), [&](const auto& live) {
            const auto known = live.second.clock.find(kept.handle);
            return known != live.second.clock.end() && known->second > kept.last_time;
        });
        if (by_all) ordered.push_back(kept.handle);
    }
    for (std::uint16_t handle : ordered) forget_kept_task(handle);
}

void model_t::destroy_task(std::uint16_t handle) { tasks_.erase(handle); }

void model_t::tear_down_thread() {
    if (me().current == 0) return raise_usage(task_nesting, me().last_site);
    for (;;) {
        const std::uint16_t handle = me().current;
        end_task(tasks_.at(handle), me().last_site);
        me().current = tasks_.at(handle).parent;
        destroy_task(handle);
        if (config_.flags & TAVO_FLAG_KEEP_ENDED_TASKS) forget_ordered_kept_tasks();
        if (me().current == 0) return;
        raise_usage(task_nesting, me().last_site);
    }
}

// ---- Synchronisation ------------------------------------------------------------------------

sync_key_t model_t::resolve(sync_key_t object) const {
    const auto found = aliases_.find(object);
    return found != aliases_.end() ? found->second : object;
}

void model_t::sync_operation(sync_key_t object, std::uint32_t order, std::uint64_t site) {
    if (!frame(TAVO_ACTIVE_SYNC)) return;
    task_t* task = current();
    if (task == nullptr) return;
    me().last_site = site;
    if (object.first >= 9) return raise_usage_at_thread_site(invalid_sync_type);
    const sync_key_t resolved = resolve(object);
    const bool exists = sync_objects_.count(resolved) != 0;
    switch (order) {
    case order_weak_acquire:
        if (!exists) break;
        [[fallthrough]];
    case order_acquire: join(task->clock, sync_objects_[resolved]); break;
    case order_weak_release:
        if (!exists) break;
        [[fallthrough]];
    case order_release: {
        vector_clock_t& object_clock = sync_objects_[resolved];
        ++task->time;
        task->clock[task->handle] = std::max(task->clock[task->handle], task->time);
        join(object_clock, task->clock);
        break;
    }
    case order_destroy:
        if (resolved == object) sync_objects_.erase(object);
        else aliases_.erase(object);
        break;
    default: break;
    }
    const bool acquired = order == order_acquire || (order == order_weak_acquire && exists);
    if (acquired && resolved.first == 6 && (config_.flags & TAVO_FLAG_KEEP_ENDED_TASKS)) forget_ordered_kept_tasks();
}

std::uint64_t model_t::begin_fork(std::uint64_t site) {
    const std::uint64_t fork_id = next_sync_id_++;
    sync_operation({5, fork_id}, order_release, site);
    sync_operation({6, fork_id}, order_acquire, site);
    fork_ids_.push_back(fork_id);
    results_.push_back(fork_id);
    return fork_id;
}

task_t* model_t::named_task(std::int32_t type, std::uint64_t id, std::uint64_t site) {
    if (!frame(TAVO_ACTIVE_SYNC)) return nullptr;
    me().last_site = site;
    task_t* task = find_task(type, id);
    if (task == nullptr) raise_usage(no_such_task, site);
    return task;
}

void model_t::wait_for(task_t* waiter, std::uint64_t site) {
    if (waiter == nullptr) return;
    const std::uint16_t handle = waiter->handle;
    const std::vector<std::uint64_t> forks = waiter->wait_list;
    for (std::uint64_t fork_id : forks) {
        sync_operation({6, fork_id}, order_acquire, site);
        sync_operation({6, fork_id}, order_destroy, site);
    }
    tasks_.at(handle).wait_list.clear();
}

// ---- Data sharing ---------------------------------------------------------------------------

void model_t::access(std::uint32_t access_type, std::uint64_t address, std::uint32_t size, std::uint64_t site) {
    static constexpr std::uint32_t family[4] = {TAVO_ACTIVE_READS, TAVO_ACTIVE_WRITES,
                                                TAVO_ACTIVE_WRITES | TAVO_ACTIVE_READS, TAVO_ACTIVE_ATOMICS};
    if (access_type == 0 && (config_.flags & TAVO_FLAG_IGNORE_READS)) return;
    if (access_type == 3 && (config_.flags & TAVO_FLAG_IGNORE_ATOMICS)) return;
    if (!frame(family[access_type])) return;
    if (current() == nullptr) return;
    if ((config_.flags & TAVO_FLAG_ALWAYS_CONCURRENT) && !tasks_may_overlap()) return;
    me().last_site = site;
    if ((config_.flags & TAVO_FLAG_TSM) && options_.tsm) check_access(*current(), address, size, access_type, site);
}

void model_t::check_access(task_t& task, std::uint64_t address, std::uint32_t size, std::uint32_t access_type,
                           std::uint64_t site) {
    if (task.exempt) return;
    if (filters_[0] && !access_watched(*filters_[0], address, size, site)) return;
    if (size > 255) {
        raise_usage(access_too_big, site);
        size &= 0xFF;
    }
    std::vector<tavo_access_t> conflicts;
    std::uint64_t granule = address & ~std::uint64_t{7};
    access_record_t position{task.time, site, static_cast<std::uint8_t>(address - granule), 0,
                             static_cast<std::uint8_t>(0u - (address - granule)), static_cast<std::uint8_t>(size)};
    position.length = static_cast<std::uint8_t>(std::min<std::uint32_t>(8u - position.offset, size));
    const std::uint16_t me_handle = task.handle;
    for (std::uint32_t remaining = size; remaining != 0;) {
        shadow_cell_t& cell = shadow_[granule];
        if (cell.entries.count(me_handle) == 0) {
            cell.entries[me_handle] = {};
            auto free_slot = std::find(cell.slots.begin(), cell.slots.end(), std::uint16_t{0});
            if (free_slot != cell.slots.end()) *free_slot = me_handle;
            else cell.slots.push_back(me_handle);
        }
        // Recording: one record per position word, refreshed to the task's present time.
        std::vector<access_record_t>& own = cell.entries[me_handle][access_type];
        bool changed = true;
        const auto found = std::find_if(own.begin(), own.end(), [&](const access_record_t& r) { return r.same_position(position); });
        if (found == own.end()) {
            own.insert(own.begin(), position);
        } else if (found->time != task.time) {
            access_record_t refreshed = *found;
            refreshed.time = task.time;
            own.erase(found);
            own.insert(own.begin(), refreshed);
        } else {
            changed = false;
        }
        // Checking.
        if (changed || cell.conflict_seen) {
            if (cell.entries.size() >= 2) {
                bool found_conflict = false;
                bool added = false;
                for (std::uint16_t other : cell.slots) {
                    if (other == 0 || other == me_handle) continue;
                    const auto known = task.clock.find(other);
                    const std::uint64_t known_time = known != task.clock.end() ? known->second : 0;
                    const auto live = tasks_.find(other);
                    const auto kept = std::find_if(kept_.begin(), kept_.end(), [&](const kept_task_t& ended) { return ended.handle == other; });
                    const std::int32_t other_type = live != tasks_.end() ? live->second.type : kept->type;
                    const std::uint64_t other_id = live != tasks_.end() ? live->second.id : kept->id;
                    for (std::uint32_t earlier = 0; earlier < 4; ++earlier) {
                        if (!conflict_table[access_type][earlier]) continue;
                        for (const access_record_t& record : cell.entries.at(other)[earlier]) {
                            if (record.time < known_time) break;  // this one and all older are ordered before
                            if (!share_a_byte(record.offset, record.length, position.offset, position.length)) continue;
                            const tavo_access_t descriptor{earlier, record.total, start_address(granule, record),
                                                           static_cast<std::uint32_t>(other_type), 0, other_id,
                                                           record.site};
                            found_conflict = true;
                            added = push_front_once(conflicts, descriptor) || added;
                        }
                    }
                }
                // Library: any conflict marks the cell, also one whose descriptor was already listed.
                if (options_.flag_on_any_conflict ? found_conflict : added) cell.conflict_seen = true;
            } else if (cell.conflict_seen) {
                cell.conflict_seen = false;
            }
        }
        remaining -= position.length;
        if (remaining != 0) {
            granule += 8;
            position.back = static_cast<std::uint8_t>(position.back + 8);
            position.offset = 0;
            position.length = static_cast<std::uint8_t>(std::min<std::uint32_t>(remaining, 8));
        }
    }
    if (conflicts.empty()) return;
    // Library: the offending access is always the current one; a conflict identical to it (a task
    // of the same type and id, same access, same site) is left out of the offended list, and a
    // list left empty is reported as an internal error before the detection.
    const tavo_access_t offending{access_type, size, start_address(granule, position),
                                  static_cast<std::uint32_t>(task.type), 0, task.id, site};
    std::erase_if(conflicts, [&](const tavo_access_t& conflict) { return same_access(conflict, offending); });
    if (conflicts.empty()) report(internal_error, site);
    detection_offending_ = offending;
    detection_offended_ = conflicts;
    report(TAVO_EVENT_DATA_SHARING, site);
}

void model_t::forget_accesses(std::uint16_t handle) {
    for (auto& [granule, cell] : shadow_) {
        if (cell.entries.erase(handle) == 0) continue;
        *std::find(cell.slots.begin(), cell.slots.end(), handle) = 0;
    }
}

// ---- Reentrant calls ------------------------------------------------------------------------

void model_t::function_event(bool enters, std::uint64_t function, std::uint64_t frame_address, std::uint64_t site) {
    if (!frame(TAVO_ACTIVE_FUNCTION)) return;
    task_t* task = current();
    if (task == nullptr) return;
    me().last_site = site;
    if (!options_.re || (config_.flags & TAVO_FLAG_RE) == 0) return;
    // A jump stub stands for the function it jumps to; one jump is followed.
    const auto* code = reinterpret_cast<const std::uint8_t*>(function);
    if (code[0] == 0xE9) {
        const std::int32_t displacement = static_cast<std::int32_t>(
            std::uint32_t{code[1]} | std::uint32_t{code[2]} << 8 | std::uint32_t{code[3]} << 16 | std::uint32_t{code[4]} << 24);
        function = function + 5 + static_cast<std::uint64_t>(static_cast<std::int64_t>(displacement));
    }
    const call_key_t key{task->type, task->id};
    std::vector<call_entry_t>& stack = call_stacks_[key];
    // Calls whose frames lie below this one returned without a leave.
    while (!stack.empty() && stack.back().frame < frame_address) stack.pop_back();
    if (!enters) {
        while (!stack.empty() && stack.back().function != function && stack.back().frame <= frame_address) stack.pop_back();
        if (!stack.empty() && stack.back().function == function) stack.pop_back();
        return;
    }
    stack.push_back({function, frame_address});
    if (filters_[1] && !code_watched(*filters_[1], function)) return;
    std::vector<tavo_offense_t> offenses;
    for (const auto& [other, other_stack] : call_stacks_) {
        if (other == key) continue;
        const bool inside = std::any_of(other_stack.begin(), other_stack.end(),
                                        [&](const call_entry_t& entry) { return entry.function == function; });
        if (inside) offenses.push_back({static_cast<std::uint32_t>(other.first), 0, other.second});
    }
    if (offenses.empty()) return;
    offenses.push_back({static_cast<std::uint32_t>(key.first), 0, key.second});
    detection_function_ = function;
    detection_offenses_ = offenses;
    report(TAVO_EVENT_REENTRANT_CALL, me().last_site);
}

// ---- Events ---------------------------------------------------------------------------------

void model_t::run(const event_t& event, std::size_t index, const debugger_t& debugger) {
    debugger_ = &debugger;
    event_index_ = index;
    stop_ordinal_ = 0;
    thread_ = event.thread;
    ++events_run_;
    if (threads_.size() <= event.thread) threads_.resize(event.thread + 1u);
    const std::uint64_t id = event.id_is_thread ? thread_id_placeholder(static_cast<int>(event.id)) : event.id;
    const std::uint64_t stub = stub_site(event.op, event.variant);
    switch (event.op) {
    case op_t::read: return access(0, event.id, event.target_type, stub);
    case op_t::write: return access(1, event.id, event.target_type, stub);
    case op_t::update: return access(2, event.id, event.target_type, stub);
    case op_t::atomic: return access(3, event.id, event.target_type, stub);
    case op_t::enter_function:
    case op_t::leave_function:
        return function_event(event.op == op_t::enter_function,
                              reinterpret_cast<std::uintptr_t>(function_table()) + event.id, event.target_id, stub);
    case op_t::enter_task:
    case op_t::enter_task_plain: {
        const std::uint64_t site = event.op == op_t::enter_task ? event.site : stub;
        if (frame(TAVO_ACTIVE_MASTER)) enter_task(event.type, id, site);
        return;
    }
    case op_t::leave_task:
    case op_t::leave_task_plain: {
        const std::uint64_t site = event.op == op_t::leave_task ? event.site : stub;
        if (frame(TAVO_ACTIVE_MASTER)) leave_task(event.type, id, site);
        return;
    }
    case op_t::activate: {
        const auto type = static_cast<std::uint32_t>(event.type);
        if (type >= 4) return raise_usage(invalid_task_type, stub);
        ++activation_[type];
        mask_ = mask_rule();
        return;
    }
    case op_t::acquire: return sync_operation({static_cast<std::uint32_t>(event.type), id}, order_acquire, stub);
    case op_t::release: return sync_operation({static_cast<std::uint32_t>(event.type), id}, order_release, stub);
    case op_t::acquire_weak: return sync_operation({static_cast<std::uint32_t>(event.type), id}, order_weak_acquire, stub);
    case op_t::release_weak: return sync_operation({static_cast<std::uint32_t>(event.type), id}, order_weak_release, stub);
    case op_t::destroy: return sync_operation({static_cast<std::uint32_t>(event.type), id}, order_destroy, stub);
    case op_t::notify_acquired: return sync_operation({0, event.id}, order_acquire, 0);
    case op_t::notify_releasing: return sync_operation({0, event.id}, order_release, 0);
    case op_t::notify_destroy: return sync_operation({0, event.id}, order_destroy, 0);
    case op_t::alias: {
        const auto type = static_cast<std::uint32_t>(event.type);
        if (type >= 9 || event.target_type >= 9) return raise_usage(invalid_sync_type, stub);
        const sync_key_t target = resolve({event.target_type, event.target_id});
        if (target.first != 4 && target.first != 5 && target.first != 6) raise_usage_at_thread_site(invalid_sync_type);
        aliases_[{type, id}] = target;
        return;
    }
    case op_t::allocate:
        obtain_record();
        me().last_site = stub;
        results_.push_back(next_sync_id_++);
        return;
    case op_t::fork: {
        const std::uint64_t fork_id = begin_fork(stub);
        task_t* waiter = nullptr;
        if (event.type == 2 || event.type == 4) {
            obtain_record();
            waiter = current();
        } else {
            waiter = named_task(event.type, id, stub);
        }
        if (waiter != nullptr) waiter->wait_list.insert(waiter->wait_list.begin(), fork_id);
        return;
    }
    case op_t::fork_current: {
        const std::uint64_t fork_id = begin_fork(stub);
        obtain_record();
        if (task_t* waiter = current()) waiter->wait_list.insert(waiter->wait_list.begin(), fork_id);
        return;
    }
    case op_t::fork_nowait: begin_fork(stub); return;
    case op_t::join:
        sync_operation({6, event.id}, order_acquire, stub);
        sync_operation({6, event.id}, order_destroy, stub);
        sync_operation({5, event.id}, order_destroy, stub);
        return;
    case op_t::taskwait:
        if (event.type == 2 || event.type == 4) {
            obtain_record();
            return wait_for(current(), stub);
        }
        return wait_for(named_task(event.type, id, stub), stub);
    case op_t::taskwait_current:
        obtain_record();
        return wait_for(current(), stub);
    case op_t::warn: return raise_usage_at_thread_site(event.type);
    case op_t::warn_from: return raise_usage(event.type, event.site);
    case op_t::debugger_write: {
        const debugger_action_t action = event.at_stops.empty() ? debugger_action_t{} : event.at_stops.front();
        apply_action(action, config_, buffer_.data(), capacity_);
        written_ = std::max(written_, static_cast<std::uint32_t>(std::min<std::size_t>(action.records.size(), capacity_)));
        return;
    }
    case op_t::thread_exit:
        if (me().has_record) tear_down_thread();
        me().has_record = false;
        me().exited = true;
        return;
    }
}

}  // namespace differential
