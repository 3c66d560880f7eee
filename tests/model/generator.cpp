#include "differential.h"

#include <random>

#include "model.h"

namespace differential {

namespace {

constexpr std::uint64_t data_base = 0x10000, notify_base = 0x20000;
constexpr std::uint64_t task_sites[] = {0, 0x1000, 0x1008, 0x2000, 0x2004, 0x3000};
constexpr std::uint64_t frames[] = {0x7000, 0x6F00, 0x6E00, 0x6D00, 0x6C00};
constexpr std::uint32_t flag_toggles[] = {TAVO_FLAG_TSM, TAVO_FLAG_RE, TAVO_FLAG_ALWAYS_CONCURRENT,
                                          TAVO_FLAG_NO_TASK_FILTER, TAVO_FLAG_IGNORE_READS, TAVO_FLAG_IGNORE_ATOMICS};

class generator_t {
public:
    generator_t(std::uint64_t seed, int max_threads) : random_(seed), max_threads_(max_threads) {}

    stream_t generate(int events, std::uint32_t extra_flags) {
        threads_ = between(2, max_threads_);
        const std::uint32_t flags = pick<std::uint32_t>({TAVO_FLAG_TSM | TAVO_FLAG_RE, TAVO_FLAG_TSM | TAVO_FLAG_RE, TAVO_FLAG_TSM,
                                           TAVO_FLAG_TSM | TAVO_FLAG_RE | TAVO_FLAG_ALWAYS_CONCURRENT,
                                           TAVO_FLAG_TSM | TAVO_FLAG_NO_TASK_FILTER, TAVO_FLAG_RE,
                                           TAVO_FLAG_TSM | TAVO_FLAG_RE | TAVO_FLAG_IGNORE_READS,
                                           TAVO_FLAG_TSM | TAVO_FLAG_RE | TAVO_FLAG_IGNORE_ATOMICS, 0}) | extra_flags;
        add(make(op_t::debugger, 0, {}), {{{set_flags, flags}}, {}});
        // Most threads announce themselves as native threads, so that checking switches on.
        for (int thread = 0; thread < threads_; ++thread) {
            if (chance(0.8)) add(make(op_t::enter_task, thread, {3, static_cast<std::uint64_t>(thread + 1), pick_site()}));
        }
        while (static_cast<int>(stream_.size()) < events) {
            std::vector<int> alive;
            for (int thread = 0; thread < threads_; ++thread) {
                if (!exited_[static_cast<std::size_t>(thread)]) alive.push_back(thread);
            }
            if (alive.empty()) break;
            add(next_event(pick_from(alive)));
        }
        const std::size_t ran = stream_.size();
        complete(stream_);
        for (std::size_t index = ran; index < stream_.size(); ++index) run(stream_[index], index);
        return stream_;
    }

private:
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
    int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    template <class T>
    T pick(std::initializer_list<T> values) { return *(values.begin() + between(0, static_cast<int>(values.size()) - 1)); }
    template <class T>
    T pick_from(const std::vector<T>& values) { return values[static_cast<std::size_t>(between(0, static_cast<int>(values.size()) - 1))]; }
    std::uint64_t pick_site() { return task_sites[between(0, static_cast<int>(std::size(task_sites)) - 1)]; }
    std::uint64_t arg(std::int64_t value) { return static_cast<std::uint64_t>(value); }

    static event_t make(op_t op, int thread, std::initializer_list<std::uint64_t> args) {
        event_t event;
        event.op = op;
        event.thread = static_cast<std::uint8_t>(thread);
        std::copy(args.begin(), args.end(), event.arg);
        return event;
    }

    // A task that an event names; exits, forks and task waits mostly name one of the thread's chain.
    event_t task_event(op_t op, int thread, bool from_chain = true) {
        event_t event = make(op, thread, {});
        const auto chain = model_.chain(thread);
        if (from_chain && !chain.empty() && !chance(0.1)) {
            const auto [type, id] = chance(0.75) ? chain.front() : pick_from(chain);
            event.arg[0] = arg(type);
            event.arg[1] = id;
            for (int named = 0; named < max_threads_; ++named) {
                if (id == thread_id_placeholder(named)) event.arg[1] = static_cast<std::uint64_t>(named), event.id_is_thread = true;
            }
            return event;
        }
        const int roll = between(0, 99);
        event.arg[0] = arg(roll < 40 ? 3 : roll < 55 ? 0 : roll < 75 ? 2 : roll < 85 ? 1 : roll < 92 ? 4 : pick<int>({-1, 5, 1000}));
        event.id_is_thread = chance(0.1);
        event.arg[1] = static_cast<std::uint64_t>(event.id_is_thread ? between(0, threads_ - 1) : between(1, 5));
        return event;
    }

    std::uint32_t sync_type() {
        const int roll = between(0, 99);
        if (roll < 60) return static_cast<std::uint32_t>(between(1, 4));
        if (roll < 85) return static_cast<std::uint32_t>(between(5, 6));
        return static_cast<std::uint32_t>(roll < 97 ? pick<int>({0, 7, 8}) : pick<int>({9, 12}));
    }

    std::uint64_t sync_id(std::uint64_t type) {
        if ((type == 5 || type == 6) && !model_.fork_ids.empty() && chance(0.8)) return pick_from(model_.fork_ids);
        return static_cast<std::uint64_t>(between(1, 3));
    }

    event_t next_event(int thread) {
        const int roll = between(0, 999);
        if (roll < 350) {
            event_t event = make(pick<op_t>({op_t::read, op_t::write, op_t::write, op_t::update, op_t::atomic}), thread,
                                 {data_base + static_cast<std::uint64_t>(between(0, 47)),
                                  chance(0.01) ? pick<std::uint64_t>({256, 300, 511}) : pick<std::uint64_t>({1, 2, 4, 4, 8, 8, 3, 5, 12, 16})});
            event.variant = static_cast<std::uint8_t>(between(0, access_variants - 1));
            return event;
        }
        if (roll < 430)
            return make(chance(0.55) ? op_t::enter_function : op_t::leave_function, thread,
                        {static_cast<std::uint64_t>(8 * between(0, 7)), frames[between(0, static_cast<int>(std::size(frames)) - 1)]});
        if (roll < 560) {
            event_t event = task_event(roll < 500 ? op_t::enter_task : op_t::leave_task, thread, roll >= 500);
            event.arg[2] = pick_site();
            if (chance(0.15)) event.op = roll < 500 ? op_t::enter_task_plain : op_t::leave_task_plain;
            return event;
        }
        if (roll < 570) return make(op_t::activate, thread, {arg(chance(0.9) ? between(0, 3) : pick<int>({4, 7, -1}))});
        if (roll < 720) {
            const std::uint32_t type = sync_type();
            return make(pick<op_t>({op_t::acquire, op_t::acquire, op_t::release, op_t::release, op_t::acquire_weak, op_t::release_weak,
                                    op_t::destroy}),
                        thread, {type, sync_id(type)});
        }
        if (roll < 740)
            return make(pick<op_t>({op_t::notify_acquired, op_t::notify_releasing, op_t::notify_destroy}), thread,
                        {notify_base + static_cast<std::uint64_t>(between(0, 2))});
        if (roll < 760) {
            const std::uint64_t type = chance(0.97) ? static_cast<std::uint64_t>(between(0, 8)) : 9;
            const std::uint64_t id = type == 0 && chance(0.5) ? notify_base + static_cast<std::uint64_t>(between(0, 2)) : sync_id(type);
            const std::uint64_t target = chance(0.85) ? pick<std::uint64_t>({4, 5, 6}) : pick<std::uint64_t>({1, 2, 10});
            return make(op_t::alias, thread, {type, id, target, sync_id(target)});
        }
        if (roll < 770) return make(op_t::allocate, thread, {});
        if (roll < 830) {
            const int kind = between(0, 3);
            return kind < 2 ? make(kind == 0 ? op_t::fork_current : op_t::fork_nowait, thread, {}) : task_event(op_t::fork, thread);
        }
        if (roll < 850)
            return make(op_t::join, thread,
                        {!model_.fork_ids.empty() && chance(0.9) ? pick_from(model_.fork_ids) : static_cast<std::uint64_t>(between(1, 40))});
        if (roll < 880) return chance(0.4) ? make(op_t::taskwait_current, thread, {}) : task_event(op_t::taskwait, thread);
        if (roll < 890)
            return make(chance(0.5) ? op_t::warn : op_t::warn_from, thread,
                        {arg(pick<int>({-10001, -29993, -50000, -5, 0, 7, -60000})), pick_site()});
        if (roll < 915) {
            event_t event = make(op_t::debugger, 0, {});
            event.at_stops.push_back(running_action());
            return event;
        }
        if (roll < 925) {
            // A thread ends; another may take its place.
            if (threads_ < max_threads_ && chance(0.5)) ++threads_;
            return make(op_t::thread_exit, thread, {});
        }
        // Pairs of events that order tasks as programs do: a release on one thread, an acquire on another.
        return make(chance(0.5) ? op_t::release : op_t::acquire, thread, {1, static_cast<std::uint64_t>(between(1, 2))});
    }

    filter_plan_t filter_record() {
        filter_plan_t plan;
        plan.feature = chance(0.97) ? static_cast<std::uint8_t>(between(1, 2)) : std::uint8_t{3};
        const int target = between(0, 99), operation = between(0, 99);
        plan.target = target < 40 ? 1 : target < 70 ? 2 : target < 80 ? 4 : target < 95 ? 8 : pick<std::uint8_t>({15, 3, 0x21});
        if (plan.target == 8) plan.operation = operation < 45 ? 3 : operation < 90 ? 5 : pick<std::uint8_t>({1, 2, 0x13});
        else plan.operation = operation < 60 ? 2 : operation < 80 ? 4 : operation < 90 ? 1 : pick<std::uint8_t>({3, 5, 0x12, 7});
        const int where = between(0, 2);
        if (plan.target == 1 && where == 0) {
            // Around the site of an access or a plain task entry, the sites the filters judge.
            const int stub = between(0, 4 * access_variants);
            plan.base = stub < 4 * access_variants ? stub : static_cast<int>(op_t::enter_task_plain) * access_variants;
            plan.first = arg(-between(0, 4));
            plan.second = static_cast<std::uint64_t>(between(0, 40));
        } else if (plan.target == 1 && where == 1) {
            plan.first = pick_site() - static_cast<std::uint64_t>(between(0, 2));
            plan.second = static_cast<std::uint64_t>(between(0, 16));
        } else if (plan.target == 1) {
            plan.base = filter_plan_t::function_table_base;
            plan.first = static_cast<std::uint64_t>(8 * between(0, 7));
            plan.second = static_cast<std::uint64_t>(between(0, 24));
        } else if (plan.target == 2) {
            plan.first = data_base + static_cast<std::uint64_t>(between(0, 40));
            plan.second = static_cast<std::uint64_t>(between(1, 32)) | (chance(0.1) ? 0xABCD00000000ull : 0);
        } else {
            plan.first = static_cast<std::uint64_t>(between(0, 5));
        }
        return plan;
    }

    // What a debugger may ask for while the program runs.
    debugger_action_t running_action() {
        debugger_action_t action;
        const int roll = between(0, 99);
        if (roll < 25) action.writes = {{set_request, TAVO_REQUEST_PING}};
        else if (roll < 45) action.writes = {{set_request, TAVO_REQUEST_RESET_TSM}};
        else if (roll < 60) action.writes = {{set_request, TAVO_REQUEST_RESET_RE}};
        else if (roll < 85) toggle_flag(action);
        else allocate(action, between(0, 4));
        return action;
    }

    void toggle_flag(debugger_action_t& action) {
        action.writes.emplace_back(set_flags, model_.config.flags ^ flag_toggles[between(0, static_cast<int>(std::size(flag_toggles)) - 1)]);
    }

    // A new buffer holds whatever the heap left there: no batch may be pending on it.
    void allocate(debugger_action_t& action, int count) {
        action.writes = {{set_count, static_cast<std::uint32_t>(count)}, {clear_request, TAVO_REQUEST_APPLY_FILTERS}, {set_request, TAVO_REQUEST_ALLOCATE}};
    }

    // What the debugger writes at a stop. After a few stops of one event it lets the program go on.
    debugger_action_t stop_action(std::size_t ordinal) {
        debugger_action_t action;
        if (ordinal >= 5) return {{{clear_request, ~0u}, {set_version, TAVO_CONFIG_VERSION}}, {}};
        const int roll = between(0, 99);
        const std::uint32_t capacity = static_cast<std::uint32_t>(model_.buffer.size());
        if (roll < 50) return action;
        if (roll < 62 && (capacity == 0 || chance(0.2))) {
            allocate(action, between(1, 5));
        } else if (roll < 62) {
            // Fill the buffer and apply the batch.
            const auto records = static_cast<std::uint32_t>(between(1, static_cast<int>(capacity)));
            for (std::uint32_t index = 0; index < records; ++index) action.records.push_back(filter_record());
            action.writes = {{set_count, chance(0.05) ? capacity + 1 : records}, {set_request, TAVO_REQUEST_APPLY_FILTERS}};
        } else if (roll < 66) {
            // Apply again what is in the buffer, if the debugger wrote it.
            if (model_.config.filter_count <= model_.written) action.writes = {{set_request, TAVO_REQUEST_APPLY_FILTERS}};
        } else if (roll < 72) action.writes = {{set_request, TAVO_REQUEST_PING}};
        else if (roll < 78) action.writes = {{set_request, TAVO_REQUEST_RESET_TSM}};
        else if (roll < 82) action.writes = {{set_request, TAVO_REQUEST_RESET_RE}};
        else if (roll < 85) action.writes = {{set_request, pick<std::uint32_t>({0x4, 0x80, 0x1000, 0x3})}};
        else if (roll < 88) action.writes = {{set_version, pick<std::uint32_t>({2, 4, 0})}};
        else if (roll < 96) toggle_flag(action);
        else action.writes = {{clear_request, model_.config.request}};
        return action;
    }

    void run(event_t& event, std::size_t index) {
        model_.run(event, index, [&](std::size_t ordinal) { return event.at_stops.emplace_back(stop_action(ordinal)); });
        // Trailing actions that do nothing need not be kept.
        while (event.op != op_t::debugger && !event.at_stops.empty() && event.at_stops.back().writes.empty() && event.at_stops.back().records.empty()) event.at_stops.pop_back();
        if (event.op == op_t::thread_exit) exited_[event.thread] = true;
    }

    void add(event_t event, const debugger_action_t& action = {}) {
        if (event.op == op_t::debugger && event.at_stops.empty()) event.at_stops.push_back(action);
        stream_.push_back(event);
        run(stream_.back(), stream_.size() - 1);
    }

    std::mt19937_64 random_;
    int max_threads_, threads_ = 0;
    model_t model_;
    stream_t stream_;
    std::vector<bool> exited_ = std::vector<bool>(64, false);
};

}  // namespace

stream_t generate(std::uint64_t seed, std::uint32_t extra_flags) {
    return generator_t(seed, 4).generate(150, extra_flags);
}

}  // namespace differential
