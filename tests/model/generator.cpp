#include "generator.h"

#include <algorithm>
#include <random>

namespace differential {

namespace {

constexpr std::uint64_t data_base = 0x10000;
constexpr std::uint64_t notify_base = 0x20000;
constexpr std::uint64_t task_sites[] = {0, 0x1000, 0x1008, 0x2000, 0x2004, 0x3000};
constexpr std::uint64_t frames[] = {0x7000, 0x6F00, 0x6E00, 0x6D00, 0x6C00};

class generator_t {
public:
    generator_t(std::uint64_t seed, const generator_options_t& options)
        : random_(seed), options_(options), model_(options.model) {}

    stream_t generate() {
        threads_ = between(2, options_.max_threads);
        debugger_action_t start;
        start.write_flags = true;
        start.flags = pick<std::uint32_t>({TAVO_FLAG_TSM | TAVO_FLAG_RE, TAVO_FLAG_TSM | TAVO_FLAG_RE, TAVO_FLAG_TSM,
                                           TAVO_FLAG_TSM | TAVO_FLAG_RE | TAVO_FLAG_ALWAYS_CONCURRENT,
                                           TAVO_FLAG_TSM | TAVO_FLAG_NO_TASK_FILTER, TAVO_FLAG_RE,
                                           TAVO_FLAG_TSM | TAVO_FLAG_RE | TAVO_FLAG_IGNORE_READS,
                                           TAVO_FLAG_TSM | TAVO_FLAG_RE | TAVO_FLAG_IGNORE_ATOMICS, 0}) |
                      options_.extra_flags;
        add(make_debugger(start));
        // Most threads announce themselves as native threads, so that checking switches on.
        for (int thread = 0; thread < threads_; ++thread) {
            if (chance(0.8)) add(enter(thread, 3, static_cast<std::uint64_t>(thread + 1), pick_site()));
        }
        while (static_cast<int>(stream_.events.size()) < options_.events) {
            const int thread = pick_thread();
            if (thread < 0) break;
            add(next_event(thread));
        }
        complete(stream_);
        for (std::size_t index = run_; index < stream_.events.size(); ++index) run(stream_.events[index], index);
        return stream_;
    }

private:
    // ---- randomness ----
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
    int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    template <class T>
    T pick(std::initializer_list<T> values) {
        return *(values.begin() + between(0, static_cast<int>(values.size()) - 1));
    }
    template <class T>
    T pick_from(const std::vector<T>& values) {
        return values[static_cast<std::size_t>(between(0, static_cast<int>(values.size()) - 1))];
    }
    std::uint64_t pick_site() { return task_sites[between(0, static_cast<int>(std::size(task_sites)) - 1)]; }

    int pick_thread() {
        std::vector<int> alive;
        for (int thread = 0; thread < threads_; ++thread) {
            if (!exited_[static_cast<std::size_t>(thread)]) alive.push_back(thread);
        }
        if (alive.empty()) return -1;
        return pick_from(alive);
    }

    // ---- events ----
    static event_t base(op_t op, int thread) {
        event_t event;
        event.op = op;
        event.thread = static_cast<std::uint8_t>(thread);
        return event;
    }

    event_t make_debugger(const debugger_action_t& action) {
        event_t event = base(op_t::debugger_write, 0);
        event.at_stops.push_back(action);
        return event;
    }

    event_t enter(int thread, std::int32_t type, std::uint64_t id, std::uint64_t site) {
        event_t event = base(op_t::enter_task, thread);
        event.type = type;
        event.id = id;
        event.site = site;
        return event;
    }

    std::int32_t task_type() {
        const int roll = between(0, 99);
        if (roll < 40) return 3;
        if (roll < 55) return 0;
        if (roll < 75) return 2;
        if (roll < 85) return 1;
        if (roll < 92) return 4;
        return pick<std::int32_t>({-1, 5, 1000});
    }

    void task_id(event_t& event) {
        if (chance(0.1)) {
            event.id = static_cast<std::uint64_t>(between(0, threads_ - 1));
            event.id_is_thread = true;
        } else {
            event.id = static_cast<std::uint64_t>(between(1, 5));
        }
    }

    // A task of the thread's chain, as exits, forks and task waits mostly name.
    bool chain_task(int thread, event_t& event) {
        const auto chain = model_.chain(thread);
        if (chain.empty() || chance(0.1)) return false;
        const task_t* task = chance(0.75) ? chain.front() : pick_from(chain);
        event.type = task->type;
        event.id = task->id;
        for (int named = 0; named < options_.max_threads; ++named) {
            if (task->id == thread_id_placeholder(named)) {
                event.id = static_cast<std::uint64_t>(named);
                event.id_is_thread = true;
            }
        }
        return true;
    }

    std::uint32_t sync_type() {
        const int roll = between(0, 99);
        if (roll < 60) return static_cast<std::uint32_t>(between(1, 4));
        if (roll < 85) return static_cast<std::uint32_t>(between(5, 6));
        if (roll < 97) return static_cast<std::uint32_t>(pick<int>({0, 7, 8}));
        return pick<std::uint32_t>({9, 12});
    }

    std::uint64_t sync_id(std::uint32_t type) {
        if ((type == 5 || type == 6) && !model_.fork_ids().empty() && chance(0.8)) return pick_from(model_.fork_ids());
        return static_cast<std::uint64_t>(between(1, 3));
    }

    event_t next_event(int thread) {
        const int roll = between(0, 999);
        if (roll < 350) {
            event_t event = base(pick<op_t>({op_t::read, op_t::write, op_t::write, op_t::update, op_t::atomic}), thread);
            event.id = data_base + static_cast<std::uint64_t>(between(0, 47));
            event.target_type = chance(0.01) ? pick<std::uint32_t>({256, 300, 511}) : pick<std::uint32_t>({1, 2, 4, 4, 8, 8, 3, 5, 12, 16});
            event.variant = static_cast<std::uint8_t>(between(0, access_variants - 1));
            return event;
        }
        if (roll < 430) {
            event_t event = base(chance(0.55) ? op_t::enter_function : op_t::leave_function, thread);
            event.id = static_cast<std::uint64_t>(8 * between(0, 7));
            event.target_id = frames[between(0, static_cast<int>(std::size(frames)) - 1)];
            return event;
        }
        if (roll < 500) {
            event_t event = enter(thread, task_type(), 0, pick_site());
            task_id(event);
            if (chance(0.15)) event.op = op_t::enter_task_plain;
            return event;
        }
        if (roll < 560) {
            event_t event = base(chance(0.15) ? op_t::leave_task_plain : op_t::leave_task, thread);
            if (!chain_task(thread, event)) {
                event.type = task_type();
                task_id(event);
            }
            event.site = pick_site();
            return event;
        }
        if (roll < 570) {
            event_t event = base(op_t::activate, thread);
            event.type = chance(0.9) ? between(0, 3) : pick<std::int32_t>({4, 7, -1});
            return event;
        }
        if (roll < 720) {
            event_t event = base(pick<op_t>({op_t::acquire, op_t::acquire, op_t::release, op_t::release, op_t::acquire_weak,
                                             op_t::release_weak, op_t::destroy}),
                                 thread);
            const std::uint32_t type = sync_type();
            event.type = static_cast<std::int32_t>(type);
            event.id = sync_id(type);
            return event;
        }
        if (roll < 740) {
            event_t event = base(pick<op_t>({op_t::notify_acquired, op_t::notify_releasing, op_t::notify_destroy}), thread);
            event.id = notify_base + static_cast<std::uint64_t>(between(0, 2));
            return event;
        }
        if (roll < 760) {
            event_t event = base(op_t::alias, thread);
            const std::uint32_t type = chance(0.97) ? static_cast<std::uint32_t>(between(0, 8)) : 9;
            event.type = static_cast<std::int32_t>(type);
            event.id = type == 0 && chance(0.5) ? notify_base + static_cast<std::uint64_t>(between(0, 2)) : sync_id(type);
            event.target_type = chance(0.85) ? pick<std::uint32_t>({4, 5, 6}) : pick<std::uint32_t>({1, 2, 10});
            event.target_id = sync_id(event.target_type);
            return event;
        }
        if (roll < 770) return base(op_t::allocate, thread);
        if (roll < 830) {
            const int kind = between(0, 3);
            if (kind == 0) return base(op_t::fork_current, thread);
            if (kind == 1) return base(op_t::fork_nowait, thread);
            event_t event = base(op_t::fork, thread);
            if (!chain_task(thread, event)) {
                event.type = task_type();
                task_id(event);
            }
            return event;
        }
        if (roll < 850) {
            event_t event = base(op_t::join, thread);
            event.id = !model_.fork_ids().empty() && chance(0.9) ? pick_from(model_.fork_ids()) : static_cast<std::uint64_t>(between(1, 40));
            return event;
        }
        if (roll < 880) {
            if (chance(0.4)) return base(op_t::taskwait_current, thread);
            event_t event = base(op_t::taskwait, thread);
            if (!chain_task(thread, event)) {
                event.type = task_type();
                task_id(event);
            }
            return event;
        }
        if (roll < 890) {
            event_t event = base(chance(0.5) ? op_t::warn : op_t::warn_from, thread);
            event.type = pick<std::int32_t>({-10001, -29993, -50000, -5, 0, 7, -60000});
            event.site = pick_site();
            return event;
        }
        if (roll < 915) return make_debugger(running_action());
        if (roll < 925) {
            // A thread ends; another may take its place.
            if (threads_ < options_.max_threads && chance(0.5)) ++threads_;
            return base(op_t::thread_exit, thread);
        }
        // Pairs of events that order tasks as programs do: a release on one thread, an acquire on
        // another.
        event_t event = base(chance(0.5) ? op_t::release : op_t::acquire, thread);
        event.type = 1;
        event.id = static_cast<std::uint64_t>(between(1, 2));
        return event;
    }

    // ---- the debugger ----
    filter_plan_t filter_record() {
        filter_plan_t plan;
        plan.feature = chance(0.97) ? static_cast<std::uint8_t>(between(1, 2)) : std::uint8_t{3};
        const int target = between(0, 99);
        plan.target = target < 40 ? 1 : target < 70 ? 2 : target < 80 ? 4 : target < 95 ? 8 : pick<std::uint8_t>({15, 3, 0x21});
        const int operation = between(0, 99);
        if (plan.target == 8) {
            plan.operation = operation < 45 ? 3 : operation < 90 ? 5 : pick<std::uint8_t>({1, 2, 0x13});
        } else {
            plan.operation = operation < 60 ? 2 : operation < 80 ? 4 : operation < 90 ? 1 : pick<std::uint8_t>({3, 5, 0x12, 7});
        }
        if (plan.target == 1) {
            const int where = between(0, 2);
            if (where == 0) {
                plan.first_site = between(0, stub_count() - 1);
                plan.first = static_cast<std::uint64_t>(-between(0, 4));
                plan.second = static_cast<std::uint64_t>(between(0, 40));
            } else if (where == 1) {
                plan.first = pick_site() - static_cast<std::uint64_t>(between(0, 2));
                plan.second = static_cast<std::uint64_t>(between(0, 16));
            } else {
                plan.first_site = filter_plan_t::function_table_base;
                plan.first = static_cast<std::uint64_t>(8 * between(0, 7));
                plan.second = static_cast<std::uint64_t>(between(0, 24));
            }
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
        if (roll < 25) action.set_request = TAVO_REQUEST_PING;
        else if (roll < 45) action.set_request = TAVO_REQUEST_RESET_TSM;
        else if (roll < 60) action.set_request = TAVO_REQUEST_RESET_RE;
        else if (roll < 85) {
            action.write_flags = true;
            action.flags = model_.config().flags ^ pick<std::uint32_t>({TAVO_FLAG_TSM, TAVO_FLAG_RE, TAVO_FLAG_ALWAYS_CONCURRENT,
                                                                        TAVO_FLAG_NO_TASK_FILTER, TAVO_FLAG_IGNORE_READS,
                                                                        TAVO_FLAG_IGNORE_ATOMICS});
        } else {
            action.write_count = true;
            action.count = static_cast<std::uint32_t>(between(0, 4));
            action.set_request = TAVO_REQUEST_ALLOCATE;
            action.clear_request = TAVO_REQUEST_APPLY_FILTERS;
        }
        return action;
    }

    // What the debugger writes at a stop. After a few stops of one event it lets the program go on.
    debugger_action_t stop_action(const stop_t&, std::size_t ordinal) {
        debugger_action_t action;
        if (ordinal >= 5) {
            action.clear_request = ~0u;
            action.write_version = true;
            return action;
        }
        const int roll = between(0, 99);
        if (roll < 50) return action;
        if (roll < 62) {
            // Filters: allocate a buffer first, then fill it and apply the batch.
            const std::uint32_t capacity = model_.filter_capacity();
            if (capacity == 0 || chance(0.2)) {
                action.write_count = true;
                action.count = static_cast<std::uint32_t>(between(1, 5));
                action.set_request = TAVO_REQUEST_ALLOCATE;
                // A new buffer holds whatever the heap left there: no batch may be pending on it.
                action.clear_request = TAVO_REQUEST_APPLY_FILTERS;
            } else {
                const auto records = static_cast<std::uint32_t>(between(1, static_cast<int>(capacity)));
                for (std::uint32_t index = 0; index < records; ++index) action.records.push_back(filter_record());
                action.write_count = true;
                action.count = chance(0.05) ? capacity + 1 : records;
                action.set_request = TAVO_REQUEST_APPLY_FILTERS;
            }
            return action;
        }
        if (roll < 66) {
            // Apply again what is in the buffer, if the debugger wrote it.
            if (model_.config().filter_count <= model_.written_records()) action.set_request = TAVO_REQUEST_APPLY_FILTERS;
            return action;
        }
        if (roll < 72) action.set_request = TAVO_REQUEST_PING;
        else if (roll < 78) action.set_request = TAVO_REQUEST_RESET_TSM;
        else if (roll < 82) action.set_request = TAVO_REQUEST_RESET_RE;
        else if (roll < 85) action.set_request = pick<std::uint32_t>({0x4, 0x80, 0x1000, 0x3});
        else if (roll < 88) {
            action.write_version = true;
            action.version = pick<std::uint32_t>({2, 4, 0});
        } else if (roll < 96) {
            action.write_flags = true;
            action.flags = model_.config().flags ^ pick<std::uint32_t>({TAVO_FLAG_TSM, TAVO_FLAG_RE, TAVO_FLAG_ALWAYS_CONCURRENT,
                                                                        TAVO_FLAG_NO_TASK_FILTER, TAVO_FLAG_IGNORE_READS,
                                                                        TAVO_FLAG_IGNORE_ATOMICS});
        } else {
            action.clear_request = model_.config().request;
        }
        return action;
    }

    void run(event_t& event, std::size_t index) {
        model_.run(event, index, [&](const stop_t& stop, std::size_t ordinal) {
            debugger_action_t action = stop_action(stop, ordinal);
            event.at_stops.push_back(action);
            return action;
        });
        // Trailing actions that do nothing need not be kept.
        while (!event.at_stops.empty() && event.op != op_t::debugger_write && event.at_stops.back().empty())
            event.at_stops.pop_back();
        if (event.op == op_t::thread_exit) exited_[event.thread] = true;
        run_ = index + 1;
    }

    void add(event_t event) {
        stream_.events.push_back(event);
        run(stream_.events.back(), stream_.events.size() - 1);
    }

    std::mt19937_64 random_;
    generator_options_t options_;
    model_t model_;
    stream_t stream_;
    std::size_t run_ = 0;
    int threads_ = 0;
    std::vector<bool> exited_ = std::vector<bool>(64, false);
};

}  // namespace

stream_t generate(std::uint64_t seed, const generator_options_t& options) { return generator_t(seed, options).generate(); }

}  // namespace differential
