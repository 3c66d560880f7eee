#include <random>

#include "differential.h"
#include "model.h"

namespace differential {

namespace {

constexpr int max_threads = 4, stream_events = 150;
constexpr std::int64_t data_base = 0x10000, notify_base = 0x20000;
constexpr std::int64_t task_sites[] = {0, 0x1000, 0x1008, 0x2000, 0x2004, 0x3000};
constexpr std::int64_t frames[] = {0x7000, 0x6F00, 0x6E00, 0x6D00, 0x6C00};
constexpr std::uint32_t tsm = TAVO_FLAG_TSM, re = TAVO_FLAG_RE;
constexpr std::uint32_t start_flags[] = {tsm | re, tsm | re, tsm, tsm | re | TAVO_FLAG_ALWAYS_CONCURRENT, tsm | TAVO_FLAG_NO_TASK_FILTER, re,
                                         tsm | re | TAVO_FLAG_IGNORE_READS, tsm | re | TAVO_FLAG_IGNORE_ATOMICS, 0};
constexpr std::uint32_t flag_toggles[] = {tsm, re, TAVO_FLAG_ALWAYS_CONCURRENT, TAVO_FLAG_NO_TASK_FILTER, TAVO_FLAG_IGNORE_READS, TAVO_FLAG_IGNORE_ATOMICS};

// How often each kind of event comes, in next_event's order.
const std::vector<double> event_weights = {350, 80, 70, 60, 10, 150, 20, 20, 10, 60, 20, 30, 10, 25, 10, 75};

class generator_t {
public:
    explicit generator_t(std::uint64_t seed) : random_(seed) {}

    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
    int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    template <class C>
    auto pick(const C& values) { return *(std::begin(values) + between(0, static_cast<int>(std::size(values)) - 1)); }
    template <class T>
    T pick(std::initializer_list<T> values) { return pick<std::initializer_list<T>>(values); }

    static event_t make(op_t op, int thread, std::initializer_list<std::int64_t> args, std::vector<debugger_action_t> at_stops = {}) {
        event_t event{op, static_cast<std::uint8_t>(thread), 0, false, {}, std::move(at_stops)};
        std::copy(args.begin(), args.end(), event.arg);
        return event;
    }

    stream_t generate(std::uint32_t extra_flags) {
        threads_ = between(2, max_threads);
        add(make(op_t::debugger, 0, {}, {{{{set_flags, pick(start_flags) | extra_flags}}, {}}}));
        // Most threads announce themselves as native threads, so that checking switches on.
        for (int thread = 0; thread < threads_; ++thread) {
            if (chance(0.8)) add(make(op_t::enter_task, thread, {3, thread + 1, pick(task_sites)}));
        }
        for (std::vector<int> alive; stream_.size() < stream_events; alive.clear()) {
            for (int thread = 0; thread < threads_; ++thread) {
                if (!exited_[static_cast<std::size_t>(thread)]) alive.push_back(thread);
            }
            if (alive.empty()) break;
            add(next_event(pick(alive)));
        }
        const std::size_t ran = stream_.size();
        complete(stream_);
        for (std::size_t index = ran; index < stream_.size(); ++index) run(stream_[index], index);
        return stream_;
    }

private:
    // A task that an event names; exits, forks and task waits mostly name one of the thread's chain.
    event_t task_event(op_t op, int thread, bool from_chain = true) {
        event_t event = make(op, thread, {});
        const auto chain = model_.chain(thread);
        if (from_chain && !chain.empty() && !chance(0.1)) {
            const auto [type, id] = chance(0.75) ? chain.front() : pick(chain);
            event.arg[0] = static_cast<std::uint64_t>(type);
            event.arg[1] = id;
            if (id >= thread_id_placeholder(0) && id < thread_id_placeholder(max_threads)) event.arg[1] = id - thread_id_placeholder(0), event.id_is_thread = true;
            return event;
        }
        event.arg[0] = static_cast<std::uint64_t>(pick({3, 3, 3, 3, 3, 3, 3, 3, 0, 0, 0, 2, 2, 2, 2, 1, 1, 4, 4, -1, 5, 1000}));
        event.id_is_thread = chance(0.1);
        event.arg[1] = static_cast<std::uint64_t>(event.id_is_thread ? between(0, threads_ - 1) : between(1, 5));
        return event;
    }

    std::int64_t sync_type() { return pick({1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 5, 6, 5, 6, 0, 7, 8, 9, 12}); }
    std::int64_t sync_id(std::int64_t type) {
        if ((type == 5 || type == 6) && !model_.fork_ids.empty() && chance(0.8)) return static_cast<std::int64_t>(pick(model_.fork_ids));
        return between(1, 3);
    }

    event_t next_event(int thread) {
        const int kind = std::discrete_distribution<int>(event_weights.begin(), event_weights.end())(random_);
        switch (kind) {
        case 0: {
            event_t event = make(pick({op_t::read, op_t::write, op_t::write, op_t::update, op_t::atomic}), thread,
                                 {data_base + between(0, 47), chance(0.01) ? pick({256, 300, 511}) : pick({1, 2, 4, 4, 8, 8, 3, 5, 12, 16})});
            event.variant = static_cast<std::uint8_t>(between(0, access_variants - 1));
            return event;
        }
        case 1: return make(chance(0.55) ? op_t::enter_function : op_t::leave_function, thread, {8 * between(0, 7), pick(frames)});
        case 2: case 3: {
            event_t event = task_event(kind == 2 ? op_t::enter_task : op_t::leave_task, thread, kind == 3);
            event.arg[2] = static_cast<std::uint64_t>(pick(task_sites));
            if (chance(0.15)) event.op = kind == 2 ? op_t::enter_task_plain : op_t::leave_task_plain;
            return event;
        }
        case 4: return make(op_t::activate, thread, {chance(0.9) ? between(0, 3) : pick({4, 7, -1})});
        case 5: {
            const std::int64_t type = sync_type();
            return make(pick({op_t::acquire, op_t::acquire, op_t::release, op_t::release, op_t::acquire_weak, op_t::release_weak, op_t::destroy}),
                        thread, {type, sync_id(type)});
        }
        case 6: return make(pick({op_t::notify_acquired, op_t::notify_releasing, op_t::notify_destroy}), thread, {notify_base + between(0, 2)});
        case 7: {
            const std::int64_t type = chance(0.97) ? between(0, 8) : 9, target = chance(0.85) ? pick({4, 5, 6}) : pick({1, 2, 10});
            return make(op_t::alias, thread, {type, type == 0 && chance(0.5) ? notify_base + between(0, 2) : sync_id(type), target, sync_id(target)});
        }
        case 8: return make(op_t::allocate, thread, {});
        case 9: return chance(0.5) ? make(pick({op_t::fork_current, op_t::fork_nowait}), thread, {}) : task_event(op_t::fork, thread);
        case 10:
            return make(op_t::join, thread, {!model_.fork_ids.empty() && chance(0.9) ? static_cast<std::int64_t>(pick(model_.fork_ids)) : between(1, 40)});
        case 11: return chance(0.4) ? make(op_t::taskwait_current, thread, {}) : task_event(op_t::taskwait, thread);
        case 12: return make(pick({op_t::warn, op_t::warn_from}), thread, {pick({-10001, -29993, -50000, -5, 0, 7, -60000}), pick(task_sites)});
        case 13: return make(op_t::debugger, 0, {}, {running_action()});
        case 14:
            // A thread ends; another may take its place.
            if (threads_ < max_threads && chance(0.5)) ++threads_;
            return make(op_t::thread_exit, thread, {});
        default:
            // Pairs of events that order tasks as programs do: a release on one thread, an acquire on another.
            return make(chance(0.5) ? op_t::release : op_t::acquire, thread, {1, between(1, 2)});
        }
    }

    filter_plan_t filter_record() {
        filter_plan_t plan;
        plan.feature = chance(0.97) ? static_cast<std::uint8_t>(between(1, 2)) : std::uint8_t{3};
        plan.target = pick<std::uint8_t>({1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 4, 4, 8, 8, 8, 15, 3, 0x21});
        if (plan.target == 8) plan.operation = pick<std::uint8_t>({3, 3, 3, 3, 3, 3, 3, 3, 3, 5, 5, 5, 5, 5, 5, 5, 5, 5, 1, 2, 0x13});
        else plan.operation = pick<std::uint8_t>({2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 4, 4, 4, 4, 1, 1, 3, 5, 0x12, 7});
        // Code ranges around the site of an access or a plain task entry (the sites the filters
        // judge), around the tasks' sites, or over the watched functions; data ranges over the data.
        const int where = plan.target == 1 ? between(0, 2) : plan.target == 2 ? 3 : 4, stub = between(0, 4 * access_variants);
        if (where == 0) plan.base = stub < 4 * access_variants ? stub : static_cast<int>(op_t::enter_task_plain) * access_variants;
        if (where == 2) plan.base = filter_plan_t::function_table_base;
        const std::int64_t first[] = {-between(0, 4), pick(task_sites) - between(0, 2), 8 * between(0, 7), data_base + between(0, 40), between(0, 5)};
        const std::int64_t length[] = {between(0, 40), between(0, 16), between(0, 24), between(1, 32) | (chance(0.1) ? 0xABCD00000000ll : 0), 0};
        plan.first = static_cast<std::uint64_t>(first[where]), plan.second = static_cast<std::uint64_t>(length[where]);
        return plan;
    }

    // What a debugger may ask for while the program runs.
    debugger_action_t running_action() {
        const int roll = between(0, 99);
        if (roll < 60) return {{{set_request, pick({TAVO_REQUEST_PING, TAVO_REQUEST_RESET_TSM, TAVO_REQUEST_RESET_RE})}}, {}};
        return roll < 85 ? toggle_flag() : allocate(between(0, 4));
    }

    debugger_action_t toggle_flag() { return {{{set_flags, model_.config.flags ^ pick(flag_toggles)}}, {}}; }

    // A new buffer holds whatever the heap left there: no batch may be pending on it.
    debugger_action_t allocate(int count) {
        return {{{set_count, static_cast<std::uint32_t>(count)}, {clear_request, TAVO_REQUEST_APPLY_FILTERS}, {set_request, TAVO_REQUEST_ALLOCATE}}, {}};
    }

    // What the debugger writes at a stop. After a few stops of one event it lets the program go on.
    debugger_action_t stop_action(std::size_t ordinal) {
        if (ordinal >= 5) return {{{clear_request, ~0u}, {set_version, TAVO_CONFIG_VERSION}}, {}};
        const int roll = between(0, 99);
        const auto capacity = static_cast<std::uint32_t>(model_.buffer.size());
        if (roll < 50) return {};
        if (roll < 62 && (capacity == 0 || chance(0.2))) return allocate(between(1, 5));
        if (roll < 62) {
            // Fill the buffer and apply the batch.
            debugger_action_t action;
            const auto records = static_cast<std::uint32_t>(between(1, static_cast<int>(capacity)));
            for (std::uint32_t index = 0; index < records; ++index) action.records.push_back(filter_record());
            action.writes = {{set_count, chance(0.05) ? capacity + 1 : records}, {set_request, TAVO_REQUEST_APPLY_FILTERS}};
            return action;
        }
        // Apply again what is in the buffer, if the debugger wrote it.
        if (roll < 66) return {{{set_request, model_.config.filter_count <= model_.written ? TAVO_REQUEST_APPLY_FILTERS : 0}}, {}};
        if (roll < 85) return {{{set_request, roll >= 82 ? pick({0x4u, 0x80u, 0x1000u, 0x3u}) : pick({TAVO_REQUEST_PING, TAVO_REQUEST_PING, TAVO_REQUEST_PING,
            TAVO_REQUEST_RESET_TSM, TAVO_REQUEST_RESET_TSM, TAVO_REQUEST_RESET_TSM, TAVO_REQUEST_RESET_RE, TAVO_REQUEST_RESET_RE})}}, {}};
        if (roll < 88) return {{{set_version, pick({2u, 4u, 0u})}}, {}};
        return roll < 96 ? toggle_flag() : debugger_action_t{{{clear_request, model_.config.request}}, {}};
    }

    void run(event_t& event, std::size_t index) {
        model_.run(event, index, [&](std::size_t ordinal) { return event.at_stops.emplace_back(stop_action(ordinal)); });
        // Trailing actions that do nothing need not be kept.
        while (event.op != op_t::debugger && !event.at_stops.empty() && event.at_stops.back().writes.empty() && event.at_stops.back().records.empty())
            event.at_stops.pop_back();
        if (event.op == op_t::thread_exit) exited_[event.thread] = true;
    }

    void add(event_t event) {
        stream_.push_back(event);
        run(stream_.back(), stream_.size() - 1);
    }

    std::mt19937_64 random_;
    int threads_ = 0;
    model_t model_;
    stream_t stream_;
    std::vector<bool> exited_ = std::vector<bool>(64, false);
};

}  // namespace

stream_t generate(std::uint64_t seed, std::uint32_t extra_flags) { return generator_t(seed).generate(extra_flags); }

}  // namespace differential
