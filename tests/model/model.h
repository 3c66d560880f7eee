// The reference model: what the library must report for a stream of events, written to be read
// rather than to be fast. Ordinary maps and vectors, one event at a time, no concurrency.
//
// Where the library deliberately behaves otherwise than a first reading would suggest (mended
// faults, choices left open), the model follows the library; each such point is marked
// "Library:" below.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "differential.h"

namespace differential {

struct model_t {
    // The debugger's action at the n-th stop of the current event.
    using debugger_t = std::function<debugger_action_t(std::size_t ordinal)>;

    static constexpr std::int32_t reason_updated = 3, reason_ping = 4, version_mismatch = -10000, internal_error = -9999,
                                  invalid_parameter = -30000, unknown_feature = -29999, bad_filter_operation = -29998,
                                  filter_operation_failed = -29997, task_nesting = -29995, access_too_big = -29993,
                                  no_such_task = -29991, invalid_task_type = -29990, invalid_sync_type = -29989;

    enum order_t { acquire, release, weak_acquire, weak_release, destroy };  // as op_t orders them

    using clock_t_ = std::map<std::uint16_t, std::uint64_t>;  // handle -> time; absent is 0
    using key_t = std::pair<std::uint32_t, std::uint64_t>;     // a sync object's or a call stack's (type, id)

    static void join(clock_t_& to, const clock_t_& from) { for (const auto& [handle, time] : from) to[handle] = std::max(to[handle], time); }

    // Range sets: a range precedes another when both its base and its end are lower; ranges neither
    // of which precedes the other (equal, or one containing the other) are equivalent. Task ids are
    // ranges of length 0.
    struct range_t {
        std::uint64_t base, end;
        bool operator<(const range_t& other) const { return base < other.base && end < other.end; }
        bool within(const std::vector<range_t>& set) const { return std::any_of(set.begin(), set.end(), [&](const range_t& r) { return r.base <= base && end <= r.end; }); }
    };

    struct filter_t {
        std::vector<range_t> sets[3];  // code, data, tasks
        std::uint32_t polarity = 1;    // 0: watch what is listed, 1: watch what is not, other: nothing

        std::int32_t apply(const tavo_filter_record_t& record) {
            const int operation = record.operation & 0xF, target = record.target & 0xF;
            if (target == 8 && (operation == 3 || operation == 5)) return polarity = operation == 3 ? 0 : 1, 0;
            if (target != 1 && target != 2 && target != 4) return bad_filter_operation;
            std::vector<range_t>& set = sets[target / 2];
            const range_t range{record.first, record.first + (target == 4 ? 0 : static_cast<std::uint32_t>(record.second))};
            const auto equivalent = [&](const range_t& stored) { return !(stored < range) && !(range < stored); };
            if (operation == 1) set.clear();
            else if (operation == 2 && std::none_of(set.begin(), set.end(), equivalent)) set.push_back(range);
            else if (operation != 4 || std::erase_if(set, equivalent) == 0) return operation == 2 || operation == 4 ? filter_operation_failed : bad_filter_operation;
            return 0;
        }
    };

    // An ended task stays (ended) while TAVO_FLAG_KEEP_ENDED_TASKS keeps its records.
    // last_time is an ended task's newest record's; the wait list holds fork ids, most recent first.
    struct task_t {
        std::int32_t type = 0;
        std::uint64_t id = 0, time = 1, last_time = 0;
        clock_t_ clock;
        bool exempt = false, ended = false;
        std::vector<std::uint64_t> wait_list;
    };
    struct thread_t { bool has_record = false; std::uint64_t last_site = 0; std::vector<std::uint16_t> chain; };  // innermost task last

    // One access as the shadow memory keeps it: in a granule, in the slot its task took there (the
    // lowest free one), refreshed (time only) when the same bytes are accessed again.
    struct record_t { std::uint64_t granule; std::uint32_t slot, handle, type; std::uint64_t time, site, address; std::uint32_t size; };
    struct call_t { std::uint64_t function, frame; };

    static bool same(const tavo_access_t& a, const tavo_access_t& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

    const debugger_t* debugger = nullptr;
    std::size_t event = 0, ordinal = 0;
    int thread = 0;

    tavo_config_t config{TAVO_CONFIG_VERSION, 0, 0, 0};
    std::uint32_t mask = 0xFFFFFFE1u;  // as it stands once the library has loaded
    std::vector<tavo_filter_record_t> buffer;
    std::uint32_t written = 0;
    std::optional<filter_t> filters[2];  // tsm, re

    std::array<std::uint16_t, 4> live{}, activation{};
    std::vector<thread_t> threads;
    std::map<std::uint16_t, task_t> tasks;
    std::uint64_t next_sync_id = 1;
    std::map<key_t, clock_t_> objects;
    std::map<key_t, key_t> aliases;
    std::vector<std::uint64_t> fork_ids;
    std::vector<record_t> shadow;           // oldest first
    std::set<std::uint64_t> conflict_seen;  // granules
    std::map<key_t, std::vector<call_t>> call_stacks;
    outcome_t outcome;
    std::optional<std::uint64_t> returned_id;  // of the current event, a line after its stops

    thread_t& me() { return threads[static_cast<std::size_t>(thread)]; }
    std::uint16_t current_handle() { return me().chain.empty() ? 0 : me().chain.back(); }
    task_t* current() { return me().chain.empty() ? nullptr : &tasks.at(me().chain.back()); }
    bool keeping() const { return config.flags & TAVO_FLAG_KEEP_ENDED_TASKS; }

    // Whether a feature's filter, if any, watches an event at a code address (or a function) and,
    // for an access, of these bytes.
    bool watched(int feature, std::uint64_t code, std::optional<range_t> data = {}) const {
        const std::optional<filter_t>& filter = filters[feature];
        const bool listed = filter && (range_t{code, code}.within(filter->sets[0]) || (data && data->within(filter->sets[1])));
        return !filter || (filter->polarity == 0 ? listed : filter->polarity == 1 && !listed);
    }

    // ---- Debugger protocol ----

    void report(std::int32_t reason, std::uint64_t site, stop_t stop = {}) {
        for (stop.site = site; reason != 0; reason = poll()) {
            std::tie(stop.event, stop.reason, stop.config, stop.active_mask) = std::tuple(event, reason, config, mask);
            outcome.push_back(describe(stop));
            write((*debugger)(ordinal++));
        }
        mask = mask_rule();
    }

    void write(const debugger_action_t& action) {
        apply_action(action, config, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
        written = std::max(written, static_cast<std::uint32_t>(std::min(action.records.size(), buffer.size())));
    }

    std::int32_t poll() {
        if (config.version != TAVO_CONFIG_VERSION) return config.version = TAVO_CONFIG_VERSION, version_mismatch;
        if (config.request & TAVO_REQUEST_PING) return config.request &= ~TAVO_REQUEST_PING, reason_ping;
        // Done requests are cleared; an update answers them all.
        std::uint32_t done = config.request & (TAVO_REQUEST_RESET_TSM | TAVO_REQUEST_RESET_RE);
        if (config.request & TAVO_REQUEST_ALLOCATE) {
            buffer.assign(config.filter_count, tavo_filter_record_t{}), written = 0, done |= TAVO_REQUEST_ALLOCATE;
        } else if (config.request & TAVO_REQUEST_APPLY_FILTERS) {
            if (buffer.size() < config.filter_count) return invalid_parameter;
            if (const std::int32_t failure = apply_filter_batch(); failure != 0) return failure;
            done |= TAVO_REQUEST_APPLY_FILTERS;
        }
        if (done & TAVO_REQUEST_RESET_TSM) shadow.clear(), conflict_seen.clear();
        if (done & TAVO_REQUEST_RESET_RE) call_stacks.clear();
        config.request &= ~done;
        return config.request & 0xFF ? unknown_feature : done ? reason_updated : 0;
    }

    // All or nothing: the records work on copies installed only when every record succeeded; the
    // count tells how many are left.
    std::int32_t apply_filter_batch() {
        std::optional<filter_t> pending[2] = {filters[0], filters[1]};
        for (std::uint32_t index = 0, count = config.filter_count; index < count; ++index) {
            const tavo_filter_record_t& record = buffer[index];
            if (record.feature != 1 && record.feature != 2) return unknown_feature;
            std::optional<filter_t>& filter = pending[record.feature - 1];
            if (!filter) filter = filter_t{{}, record.feature == 1 ? 1u : 0u};
            if (const std::int32_t failure = filter->apply(record); failure != 0) return failure;
            config.filter_count = count - index - 1;
        }
        filters[0] = pending[0], filters[1] = pending[1];
        return 0;
    }

    // A kept ended task can still race with a live one.
    bool kept(std::int32_t type, std::int32_t or_type) const { return std::any_of(tasks.begin(), tasks.end(), [&](const auto& t) { return t.second.ended && (t.second.type == type || t.second.type == or_type); }); }
    bool overlap_types_live() const { return live[2] || activation[2] || live[3] || activation[3] || kept(2, 3); }

    // Checking is on only while tasks may run concurrently.
    std::uint32_t mask_rule() const {
        const std::uint32_t flags = config.flags;
        if (!(flags & TAVO_FLAG_ALWAYS_CONCURRENT) && !overlap_types_live()) return 0xFFFFFFE1u;
        std::uint32_t result = 0xFFFFFFE5u;
        if (flags & TAVO_FLAG_TSM)
            result = ~((flags & TAVO_FLAG_IGNORE_READS ? TAVO_ACTIVE_READS : 0) | (flags & TAVO_FLAG_IGNORE_ATOMICS ? TAVO_ACTIVE_ATOMICS : 0));
        return flags & TAVO_FLAG_RE ? result : result & ~TAVO_ACTIVE_FUNCTION;
    }

    // A code outside the usage range is reported as an internal error at the thread's site.
    void raise(std::int32_t code, std::optional<std::uint64_t> site = {}) {
        if (code < -50000 || code > -10001) code = internal_error, site.reset();
        if (!site) obtain_record();
        report(code, site ? *site : me().last_site);
    }

    // ---- Threads and tasks ----

    bool frame(std::uint32_t family) {
        if (config.request != 0) report(poll(), 0);
        return (mask & family) != 0 && (obtain_record(), true);
    }

    // A thread's first call that needs its record enters the thread's initial task.
    void obtain_record() {
        if (me().has_record) return;
        me() = {true, 0, {}};
        if (config.request != 0) report(poll(), 0);
        enter_task(1, thread_id_placeholder(thread), 0);
    }

    std::uint16_t find_task(std::int32_t type, std::uint64_t id) {
        const auto& chain = me().chain;
        const auto found = std::find_if(chain.rbegin(), chain.rend(), [&](std::uint16_t h) { return tasks.at(h).type == type && tasks.at(h).id == id; });
        return found != chain.rend() ? *found : 0;
    }

    bool unwatched_site(std::uint64_t site) const { return !(config.flags & TAVO_FLAG_NO_TASK_FILTER) && !watched(0, site); }

    void enter_task(std::int32_t type, std::uint64_t id, std::uint64_t site) {
        // Library: invalid types are reported as such, at the entry's site.
        if (type < 0 || type > 4) return raise(invalid_task_type, site);
        // Type 4 has no counters, a watched type 2 no context; both recompute the mask.
        const bool context = type != 4 && (type != 2 || unwatched_site(site));
        if (type != 4) ++live[static_cast<std::size_t>(type)], activation[static_cast<std::size_t>(type)] -= activation[static_cast<std::size_t>(type)] != 0;
        if (context) {
            std::uint16_t handle = 1;
            while (tasks.count(handle) != 0) ++handle;  // the lowest free handle
            const bool exempt = (current() != nullptr && current()->exempt) || ((config.flags & TAVO_FLAG_TSM) && unwatched_site(site));
            tasks[handle] = {type, id, 1, 0, {}, exempt, false, {}};
            me().chain.push_back(handle);
            me().last_site = site;
        }
        mask = mask_rule();
    }

    void leave_task(std::int32_t type, std::uint64_t id, std::uint64_t site) {
        if (type < 0 || type > 4) return raise(invalid_task_type, site);
        const std::uint16_t handle = type == 4 ? 0 : find_task(type, id);
        if (type != 4 && type != 2 && handle == 0) return raise(task_nesting);
        // Library: a type-2 exit, matched or not, ends the type-2 context its entry created, as
        // other types do, without wrapping the live count.
        if (type != 4 && live[static_cast<std::size_t>(type)] != 0) --live[static_cast<std::size_t>(type)];
        if (handle != 0) me().last_site = site, end_task(handle, site);
        mask = mask_rule();
    }

    // The library forgets an ending task's call stack and remaining forks, and the rest (its
    // records and its handle in every clock) too unless it keeps it, until every live task's clock
    // orders its newest record. The bounds on kept tasks lie beyond any stream. Ending a task of
    // the chain other than the innermost is a nesting error.
    void end_task(std::uint16_t handle, std::uint64_t site) {
        task_t& task = tasks.at(handle);
        call_stacks.erase({task.type, task.id});
        for (std::uint64_t fork_id : std::vector<std::uint64_t>(std::move(task.wait_list))) sync({6, fork_id}, destroy, site);
        for (const record_t& r : shadow) {
            if (keeping() && r.handle == handle) task.last_time = std::max(task.last_time, r.time);
        }
        task.ended = task.last_time != 0;
        if (current_handle() != handle) raise(task_nesting, site);
        std::erase(me().chain, handle);
        if (!task.ended) forget(handle);
        if (keeping()) forget_ordered_kept_tasks();
    }

    void forget(std::uint16_t handle) {
        std::erase_if(shadow, [&](const record_t& r) { return r.handle == handle; });
        tasks.erase(handle);
        for (auto& [other, task] : tasks) task.clock.erase(handle);
        for (auto& [key, clock] : objects) clock.erase(handle);
    }

    // After a task ends and after a task-end object is acquired.
    void forget_ordered_kept_tasks() {
        std::vector<std::uint16_t> ordered;
        for (const auto& [handle, kept] : tasks) {
            if (kept.ended && std::all_of(tasks.begin(), tasks.end(), [&, h = handle, t = kept.last_time](const auto& other) {
                    return other.second.ended || (other.second.clock.count(h) && other.second.clock.at(h) > t);
                }))
                ordered.push_back(handle);
        }
        for (std::uint16_t handle : ordered) forget(handle);
        if (!ordered.empty()) mask = mask_rule();
    }

    void tear_down_thread() {
        if (me().chain.empty()) return raise(task_nesting, me().last_site);
        for (end_task(current_handle(), me().last_site); !me().chain.empty(); end_task(current_handle(), me().last_site)) raise(task_nesting, me().last_site);
    }

    // ---- Synchronisation ----

    key_t resolve(key_t object) const { return aliases.count(object) ? aliases.at(object) : object; }

    void sync(key_t object, order_t order, std::uint64_t site) {
        if (!frame(TAVO_ACTIVE_SYNC) || current() == nullptr) return;
        task_t& task = *current();
        me().last_site = site;
        if (object.first >= 9) return raise(invalid_sync_type);
        const key_t resolved = resolve(object);
        const bool exists = objects.count(resolved) != 0;
        if (order == acquire || (order == weak_acquire && exists)) {
            join(task.clock, objects[resolved]);
            if (resolved.first == 6 && keeping()) forget_ordered_kept_tasks();
        } else if (order == release || (order == weak_release && exists)) {
            task.clock[current_handle()] = std::max(task.clock[current_handle()], ++task.time);
            join(objects[resolved], task.clock);
        } else if (order == destroy) {
            resolved == object ? objects.erase(object) : aliases.erase(object);
        }
    }

    // The task a fork or task wait names: the current one for types 2 and 4.
    task_t* named_task(std::int32_t type, std::uint64_t id, std::uint64_t site) {
        if (type == 2 || type == 4) return obtain_record(), current();
        if (!frame(TAVO_ACTIVE_SYNC)) return nullptr;
        me().last_site = site;
        const std::uint16_t handle = find_task(type, id);
        return handle != 0 ? &tasks.at(handle) : (raise(no_such_task, site), nullptr);
    }

    void wait_for(task_t* waiter, std::uint64_t site) {
        for (std::uint64_t fork_id : waiter ? std::vector<std::uint64_t>(std::move(waiter->wait_list)) : std::vector<std::uint64_t>{}) {
            sync({6, fork_id}, acquire, site);
            sync({6, fork_id}, destroy, site);
        }
    }

    // ---- Data sharing ----

    void access(std::uint32_t type, std::uint64_t address, std::uint32_t size, std::uint64_t site) {
        static constexpr std::uint32_t family[4] = {TAVO_ACTIVE_READS, TAVO_ACTIVE_WRITES, TAVO_ACTIVE_WRITES | TAVO_ACTIVE_READS, TAVO_ACTIVE_ATOMICS};
        if ((type == 0 && (config.flags & TAVO_FLAG_IGNORE_READS)) || (type == 3 && (config.flags & TAVO_FLAG_IGNORE_ATOMICS))) return;
        if (!frame(family[type]) || current() == nullptr) return;
        if ((config.flags & TAVO_FLAG_ALWAYS_CONCURRENT) && live[1] < 2 && !overlap_types_live() && !kept(0, 1)) return;
        me().last_site = site;
        if (!(config.flags & TAVO_FLAG_TSM) || current()->exempt || !watched(0, site, range_t{address, address + size})) return;
        if (size > 255) raise(access_too_big, site);
        size &= 0xFF;
        const task_t& task = *current();
        const std::uint16_t me_handle = current_handle();
        std::vector<tavo_access_t> conflicts;  // newest first, each once
        for (std::uint64_t granule = address & ~7ull; size != 0 && granule < address + size; granule += 8) {
            const auto mine = [&](const record_t& r) { return r.granule == granule && r.handle == me_handle; };
            const auto own = std::find_if(shadow.begin(), shadow.end(), mine);
            std::uint32_t slot = own != shadow.end() ? own->slot : 0;
            while (own == shadow.end() && std::any_of(shadow.begin(), shadow.end(), [&](const record_t& r) { return r.granule == granule && r.slot == slot; })) ++slot;
            const auto found = std::find_if(shadow.begin(), shadow.end(), [&](const record_t& r) { return mine(r) && r.type == type && r.address == address && r.size == size; });
            const bool changed = found == shadow.end() || found->time != task.time;
            if (found == shadow.end()) shadow.push_back({granule, slot, me_handle, type, task.time, site, address, size});
            else if (changed) found->time = task.time, std::rotate(found, found + 1, shadow.end());
            if (!changed && !conflict_seen.count(granule)) continue;
            // The other tasks' records in the library's scan order: by slot, then access type, newest first.
            std::vector<record_t> others;
            std::copy_if(shadow.rbegin(), shadow.rend(), std::back_inserter(others), [&](const record_t& r) { return r.granule == granule && r.handle != me_handle; });
            std::stable_sort(others.begin(), others.end(), [](const record_t& a, const record_t& b) { return std::pair(a.slot, a.type) < std::pair(b.slot, b.type); });
            if (others.empty()) conflict_seen.erase(granule);
            for (const record_t& r : others) {
                const std::uint64_t known = task.clock.count(r.handle) ? task.clock.at(r.handle) : 0;
                // Read-read and atomic-atomic do not conflict, nor accesses ordered before this one.
                if ((r.type == type && (type == 0 || type == 3)) || r.time < known || r.address >= address + size || address >= r.address + r.size) continue;
                // Library: any conflict marks the cell, also one whose descriptor is listed.
                conflict_seen.insert(granule);
                const task_t& owner = tasks.at(r.handle);
                const tavo_access_t conflict{r.type, r.size, r.address, static_cast<std::uint32_t>(owner.type), 0, owner.id, r.site};
                if (std::none_of(conflicts.begin(), conflicts.end(), [&](const tavo_access_t& c) { return same(c, conflict); }))
                    conflicts.insert(conflicts.begin(), conflict);
            }
        }
        if (conflicts.empty()) return;
        // Library: the offending access is always the current one; a conflict identical to it (a task
        // of the same type and id, same access, same site) is left out of the offended list, and a
        // list left empty is reported as an internal error before the detection.
        const tavo_access_t offending{type, size, address, static_cast<std::uint32_t>(task.type), 0, task.id, site};
        std::erase_if(conflicts, [&](const tavo_access_t& c) { return same(c, offending); });
        if (conflicts.empty()) report(internal_error, site);
        report(TAVO_EVENT_DATA_SHARING, site, {.offending = offending, .offended = conflicts, .function = 0, .offenses = {}});
    }

    // ---- Reentrant calls ----

    void function_event(bool enters, std::uint64_t function, std::uint64_t frame_address, std::uint64_t site) {
        if (!frame(TAVO_ACTIVE_FUNCTION) || current() == nullptr) return;
        const key_t key{current()->type, current()->id};
        me().last_site = site;
        if ((config.flags & TAVO_FLAG_RE) == 0) return;
        // A jump stub stands for the function it jumps to; one jump is followed.
        std::int32_t displacement;
        std::memcpy(&displacement, reinterpret_cast<const std::uint8_t*>(function) + 1, 4);
        if (*reinterpret_cast<const std::uint8_t*>(function) == 0xE9) function += 5 + static_cast<std::uint64_t>(static_cast<std::int64_t>(displacement));
        std::vector<call_t>& stack = call_stacks[key];
        // Calls whose frames lie below this one returned without a leave.
        while (!stack.empty() && stack.back().frame < frame_address) stack.pop_back();
        if (!enters) {
            while (!stack.empty() && stack.back().function != function && stack.back().frame <= frame_address) stack.pop_back();
            if (!stack.empty() && stack.back().function == function) stack.pop_back();
            return;
        }
        stack.push_back({function, frame_address});
        if (!watched(1, function)) return;
        std::vector<tavo_offense_t> offenses;
        for (const auto& [other, calls] : call_stacks) {
            if (other != key && std::any_of(calls.begin(), calls.end(), [&](const call_t& c) { return c.function == function; })) offenses.push_back({other.first, 0, other.second});
        }
        offenses.push_back({key.first, 0, key.second});
        if (offenses.size() > 1) report(TAVO_EVENT_REENTRANT_CALL, site, {.offended = {}, .function = function, .offenses = offenses});
    }

    // ---- Events ----

    void run_event(const event_t& e) {
        if (threads.size() <= e.thread) threads.resize(e.thread + 1u);
        const auto type = static_cast<std::int32_t>(e.arg[0]);
        const std::uint64_t id = e.id_is_thread ? thread_id_placeholder(static_cast<int>(e.arg[1])) : e.arg[1];
        const std::uint64_t stub = stub_site(e.op, e.variant);
        const int op = static_cast<int>(e.op);
        switch (e.op) {
        case op_t::read: case op_t::write: case op_t::update: case op_t::atomic:
            return access(static_cast<std::uint32_t>(op), e.arg[0], static_cast<std::uint32_t>(e.arg[1]), stub);
        case op_t::enter_function: case op_t::leave_function:
            return function_event(e.op == op_t::enter_function, reinterpret_cast<std::uintptr_t>(function_table()) + e.arg[0], e.arg[1], stub);
        case op_t::enter_task: case op_t::enter_task_plain:
            return frame(TAVO_ACTIVE_MASTER) ? enter_task(type, id, e.op == op_t::enter_task ? e.arg[2] : stub) : void();
        case op_t::leave_task: case op_t::leave_task_plain:
            return frame(TAVO_ACTIVE_MASTER) ? leave_task(type, id, e.op == op_t::leave_task ? e.arg[2] : stub) : void();
        case op_t::activate:
            if (static_cast<std::uint32_t>(type) >= 4) return raise(invalid_task_type, stub);
            ++activation[static_cast<std::size_t>(type)], mask = mask_rule();
            return;
        case op_t::acquire: case op_t::release: case op_t::acquire_weak: case op_t::release_weak: case op_t::destroy:
            return sync({static_cast<std::uint32_t>(type), id}, static_cast<order_t>(op - static_cast<int>(op_t::acquire)), stub);
        case op_t::notify_acquired: case op_t::notify_releasing: case op_t::notify_destroy:
            return sync({0, e.arg[0]}, e.op == op_t::notify_acquired ? acquire : e.op == op_t::notify_releasing ? release : destroy, 0);
        case op_t::alias: {
            if (static_cast<std::uint32_t>(type) >= 9 || static_cast<std::uint32_t>(e.arg[2]) >= 9) return raise(invalid_sync_type, stub);
            const key_t target = resolve({static_cast<std::uint32_t>(e.arg[2]), e.arg[3]});
            if (target.first < 4 || target.first > 6) raise(invalid_sync_type);
            aliases[{static_cast<std::uint32_t>(type), id}] = target;
            return;
        }
        case op_t::allocate:
            obtain_record(), me().last_site = stub, returned_id = next_sync_id++;
            return;
        case op_t::fork: case op_t::fork_current: case op_t::fork_nowait: {
            const std::uint64_t fork_id = next_sync_id++;
            sync({5, fork_id}, release, stub);
            sync({6, fork_id}, acquire, stub);
            fork_ids.push_back(fork_id);
            returned_id = fork_id;
            if (task_t* waiter = e.op == op_t::fork_nowait ? nullptr : named_task(e.op == op_t::fork ? type : 2, id, stub)) waiter->wait_list.insert(waiter->wait_list.begin(), fork_id);
            return;
        }
        case op_t::join:
            sync({6, e.arg[0]}, acquire, stub);
            sync({6, e.arg[0]}, destroy, stub);
            return sync({5, e.arg[0]}, destroy, stub);
        case op_t::taskwait: return wait_for(named_task(type, id, stub), stub);
        case op_t::taskwait_current: return wait_for(named_task(2, 0, stub), stub);
        case op_t::warn: return raise(type);
        case op_t::warn_from: return raise(type, e.arg[1]);
        case op_t::debugger: return write(e.at_stops.empty() ? debugger_action_t{} : e.at_stops.front());
        case op_t::thread_exit:
            if (me().has_record) tear_down_thread();
            me().has_record = false;
            return;
        }
    }

    // The thread's open tasks as (type, id), innermost first.
    std::vector<std::pair<std::int32_t, std::uint64_t>> chain(std::size_t of_thread) const {
        std::vector<std::pair<std::int32_t, std::uint64_t>> result;
        for (std::uint16_t h : of_thread < threads.size() ? threads[of_thread].chain : std::vector<std::uint16_t>{}) result.emplace(result.begin(), tasks.at(h).type, tasks.at(h).id);
        return result;
    }

    // Runs one event on its thread; at each stop the debugger says what it writes.
    void run(const event_t& e, std::size_t index, const debugger_t& at_stop) {
        std::tie(debugger, event, ordinal, thread) = std::tuple(&at_stop, index, 0, e.thread);
        run_event(e);
        if (returned_id) outcome.push_back(returned(*std::exchange(returned_id, std::nullopt)));
    }
};

}  // namespace differential
