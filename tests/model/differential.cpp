// The differential test: random streams, each run by the library and by the model (model.h);
// every stop must agree. A disagreeing stream is shrunk and printed. Here: streams as text, the
// stubs that call the library's entries, the runs of a stream by the library (in a forked child)
// and by the model, the generator and the driver.
//
//   differential [--seeds FIRST..LAST] [--keep-ended-tasks]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <semaphore>
#include <sstream>
#include <string>
#include <thread>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "model.h"
#include "runtime/runtime.h"

// Stub k (one per op and variant, 16 bytes apart) calls the entry whose address is its fifth
// argument with the first four; the library records the return address, tavo_stub_site + 16 k.
asm(".text\n.globl tavo_stubs\n.globl tavo_stub_site\n.balign 16\ntavo_stubs:\n"
    "  subq $8, %rsp\n  call *%r8\ntavo_stub_site:\n  addq $8, %rsp\n  ret\n.balign 16\n"
    ".rept 127\n  subq $8, %rsp\n  call *%r8\n  addq $8, %rsp\n  ret\n.balign 16\n.endr\n");
extern "C" char tavo_stubs[], tavo_stub_site[];

namespace differential {

namespace {

// Every op's name in a stream's text, its entry and how many arguments it takes, in op_t's order.
struct op_info_t { const char* name; std::uintptr_t entry; int arity; };
#define OP(name, entry, arity) {name, reinterpret_cast<std::uintptr_t>(entry), arity}
const op_info_t ops[] = {
    OP("read", &_TAVO_readMemory, 2), OP("write", &_TAVO_writeMemory, 2), OP("update", &_TAVO_updateMemory, 2), OP("atomic", &_TAVO_atomicUpdate, 2),
    OP("enter_function", &_TAVO_enterFunction, 2), OP("leave_function", &_TAVO_leaveFunction, 2), OP("enter_task", &_TAVO_enterGenericTaskFrom, 3),
    OP("leave_task", &_TAVO_leaveGenericTaskFrom, 3), OP("enter_task_plain", &_TAVO_enterGenericTask, 2), OP("leave_task_plain", &_TAVO_leaveGenericTask, 2),
    OP("activate", &_TAVO_activateTaskType, 1), OP("acquire", &_TAVO_syncAcquire, 2), OP("release", &_TAVO_syncRelease, 2),
    OP("acquire_weak", &_TAVO_syncAcquireWeak, 2), OP("release_weak", &_TAVO_syncReleaseWeak, 2), OP("destroy", &_TAVO_syncDestroy, 2),
    OP("notify_acquired", &__zuk_sync_acquired, 1), OP("notify_releasing", &__zuk_sync_releasing, 1), OP("notify_destroy", &__zuk_sync_destroy, 1),
    OP("alias", &_TAVO_syncAlias, 4), OP("allocate", &_TAVO_syncAllocate, 0), OP("fork", &_TAVO_syncForkTask, 2),
    OP("fork_current", &_TAVO_syncForkTaskCurrent, 0), OP("fork_nowait", &_TAVO_syncForkTaskNowait, 0), OP("join", &_TAVO_syncJoin, 1),
    OP("taskwait", &_TAVO_syncTaskwait, 2), OP("taskwait_current", &_TAVO_syncTaskwaitCurrent, 0), OP("warn", &_TAVO_warn, 1),
    OP("warn_from", &_TAVO_warnFrom, 2), OP("debugger", nullptr, 0), OP("thread_exit", nullptr, 0)};
static_assert(std::size(ops) == static_cast<std::size_t>(op_t::thread_exit) + 1);
const char* const fields[] = {"set=", "clear=", "flags=", "version=", "count="};  // field_t's order

// Watched functions: some entries are jump stubs (0xE9 and a 32-bit displacement), forwards and
// backwards, two of them leading to the same function at offset 40, and one (56) to another stub,
// which stands for itself: one jump is followed.
constexpr std::uint8_t jump(int from, int to, int byte) { return static_cast<std::uint8_t>(static_cast<std::uint32_t>(to - from - 5) >> (8 * byte)); }
#define TAVO_JUMP(from, to) 0xE9, jump(from, to, 0), jump(from, to, 1), jump(from, to, 2), jump(from, to, 3), 0, 0, 0
alignas(64) const std::uint8_t functions[64] = {
    0x90, 0, 0, 0, 0, 0, 0, 0, 0x90, 0, 0, 0, 0, 0, 0, 0, TAVO_JUMP(16, 40), TAVO_JUMP(24, 40),
    0x90, 0, 0, 0, 0, 0, 0, 0, 0x90, 0, 0, 0, 0, 0, 0, 0, TAVO_JUMP(48, 8),  TAVO_JUMP(56, 16),
};

std::string number(std::uint64_t value) {
    char text[24];
    if (static_cast<std::int64_t>(value) < 0) std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    else std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::uint64_t stub(int index) { return reinterpret_cast<std::uintptr_t>(tavo_stubs) + 16u * static_cast<unsigned>(index); }

int thread_count(const stream_t& stream) {
    int count = 0;
    for (const event_t& event : stream) count = event.op != op_t::debugger ? std::max(count, event.thread + 1) : count;
    return count;
}

std::uint64_t call_entry(const event_t& event, std::uint64_t task_id) {
    std::uint64_t arg[4] = {event.arg[0], event.id_is_thread ? task_id : event.arg[1], event.arg[2], event.arg[3]};
    if (event.op == op_t::enter_function || event.op == op_t::leave_function) arg[0] += reinterpret_cast<std::uintptr_t>(functions);
    using stub_t = std::uint64_t (*)(std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uintptr_t);
    const auto call = reinterpret_cast<stub_t>(stub(static_cast<int>(event.op) * access_variants + event.variant));
    return call(arg[0], arg[1], arg[2], arg[3], ops[static_cast<int>(event.op)].entry);
}

// The debugger's action at the given stop of an event. Past the stream's own actions a debugger
// that still sees stops after many more clears the request word, so that a run always ends.
debugger_action_t action_at(const event_t& event, std::size_t ordinal) {
    if (event.op == op_t::debugger) return {};
    if (ordinal < event.at_stops.size()) return event.at_stops[ordinal];
    if (ordinal < event.at_stops.size() + 16) return {};
    return {{{clear_request, ~0u}, {set_version, TAVO_CONFIG_VERSION}}, {}};
}

}  // namespace

std::uint64_t stub_site(op_t op, int variant) { return stub(static_cast<int>(op) * access_variants + variant) + static_cast<std::uint64_t>(tavo_stub_site - tavo_stubs); }

const std::uint8_t* function_table() { return functions; }

void apply_action(const debugger_action_t& action, tavo_config_t& config, tavo_filter_record_t* buffer, std::uint32_t capacity) {
    std::uint32_t* const words[] = {&config.request, &config.request, &config.flags, &config.version, &config.filter_count};
    for (const auto& [field, value] : action.writes)
        *words[field] = field == set_request ? *words[field] | value : field == clear_request ? *words[field] & ~value : value;
    for (std::size_t index = 0; index < action.records.size() && index < capacity && buffer != nullptr; ++index) {
        const filter_plan_t& plan = action.records[index];
        const std::uint64_t base = plan.base >= 0 ? stub_site(op_t{}, plan.base) : plan.base == filter_plan_t::function_table_base ? reinterpret_cast<std::uintptr_t>(functions) : 0;
        buffer[index] = {plan.feature, 0, plan.target, plan.operation, {}, plan.first + base, plan.second};
    }
}

// Ends, in index order, every thread the stream leaves running.
void complete(stream_t& stream) {
    for (int thread = 0, threads = thread_count(stream); thread < threads; ++thread) {
        if (std::none_of(stream.begin(), stream.end(), [&](const event_t& e) { return e.op == op_t::thread_exit && e.thread == thread; }))
            stream.push_back({op_t::thread_exit, static_cast<std::uint8_t>(thread), 0, false, {}, {}});
    }
}

std::string describe(const stop_t& stop) {
    std::ostringstream text;
    text << "event " << stop.event << " reason " << stop.reason << " site " << number(stop.site) << " block {" << stop.config.version << ", "
         << number(stop.config.request) << ", " << number(stop.config.flags) << ", " << stop.config.filter_count << "} mask " << number(stop.active_mask);
    const auto access = [&](const tavo_access_t& a) {
        text << " (" << a.access_type << ", " << a.size << ", " << number(a.address) << ", " << a.task_type << "." << number(a.task_id) << " @ "
             << number(a.code_address) << (a.padding ? ", padding" : "") << ")";
    };
    if (stop.reason == TAVO_EVENT_DATA_SHARING) {
        access(stop.offending);
        text << " offends";
        for (const tavo_access_t& a : stop.offended) access(a);
    } else if (stop.reason == TAVO_EVENT_REENTRANT_CALL) {
        text << " function " << number(stop.function) << " offenses";
        for (const tavo_offense_t& o : stop.offenses) text << " (" << o.task_type << "." << number(o.task_id) << ")";
    }
    return text.str();
}

// One event a line: "op tTHREAD [vVARIANT] ARG... | ACTION | ACTION", an id named "T2" is thread
// 2's identifier, an action is "set=X clear=X flags=X version=N count=N record=F,T,O,FIRST,SECOND,BASE".
std::string to_text(const stream_t& stream) {
    std::ostringstream text;
    for (const event_t& e : stream) {
        text << ops[static_cast<int>(e.op)].name << " t" << int{e.thread};
        if (e.variant != 0) text << " v" << int{e.variant};
        for (int index = 0; index < ops[static_cast<int>(e.op)].arity; ++index)
            text << " " << (index == 1 && e.id_is_thread ? "T" + std::to_string(e.arg[1]) : number(e.arg[index]));
        for (const debugger_action_t& a : e.at_stops) {
            text << " |";
            for (const auto& [field, value] : a.writes) text << " " << fields[field] << number(value);
            for (const filter_plan_t& r : a.records)
                text << " record=" << int{r.feature} << "," << int{r.target} << "," << int{r.operation} << "," << number(r.first) << ","
                     << number(r.second) << "," << r.base;
        }
        text << "\n";
    }
    return text.str();
}

namespace {

// The child's run. Only one thread works at a time, handed over by semaphores; each stop and each
// returned id is a line of the outcome file.
struct run_t {
    const stream_t& stream;
    std::FILE* out;
    std::size_t event = 0, ordinal = 0;
    std::vector<std::uint64_t> thread_ids;
};
run_t* active_run = nullptr;

std::uint64_t to_placeholder(const run_t& run, std::uint64_t task_id) {
    const auto found = std::find(run.thread_ids.begin(), run.thread_ids.end(), task_id);
    return found != run.thread_ids.end() ? thread_id_placeholder(static_cast<int>(found - run.thread_ids.begin())) : task_id;
}

void record_stop(run_t& run) {
    stop_t stop{run.event, __tavo_event_reason, __tavo_current_detection.site, __tavo_config, __TAVO_isGuardedCall, {}, {}, 0, {}};
    const tavo_sharing_detection_t& sharing = __tavo_current_detection.sharing;
    const tavo_reentrancy_detection_t& reentrancy = __tavo_current_detection.reentrancy;
    if (stop.reason == TAVO_EVENT_DATA_SHARING) {
        stop.offending = sharing.offending;
        stop.offended.assign(sharing.offended, sharing.offended + sharing.offended_count);
    } else if (stop.reason == TAVO_EVENT_REENTRANT_CALL) {
        stop.function = reentrancy.function;
        stop.offenses.assign(reentrancy.offenses, reentrancy.offenses + reentrancy.offense_count);
    }
    stop.offending.task_id = to_placeholder(run, stop.offending.task_id);
    for (tavo_access_t& access : stop.offended) access.task_id = to_placeholder(run, access.task_id);
    for (tavo_offense_t& offense : stop.offenses) offense.task_id = to_placeholder(run, offense.task_id);
    std::fprintf(run.out, "%s\n", describe(stop).c_str());
    apply_action(action_at(run.stream[run.event], run.ordinal++), __tavo_config, __tavo_filter_space, tavo::filter_capacity);
}

[[noreturn]] void run_in_child(const stream_t& stream, std::FILE* out) {
    run_t run{stream, out, 0, 0, {}};
    std::size_t threads = static_cast<std::size_t>(thread_count(stream));
    for (const event_t& event : stream) threads = event.id_is_thread ? std::max<std::size_t>(threads, event.arg[1] + 1) : threads;
    run.thread_ids.resize(threads);
    active_run = &run;
    // One real thread per stream thread runs its events, one event at a time: `turn` is the index of
    // the one that may run. A thread ends at its exit event, and the main thread joins it (its
    // tear-down runs in the thread-local destructors) before the next event; a thread the stream
    // leaves running is abandoned with the process, with no unload event either.
    std::atomic<std::size_t> turn{0};
    const auto await = [&](std::size_t index) { for (std::size_t now; (now = turn.load()) != index;) turn.wait(now); };
    const auto pass = [&] { turn.fetch_add(1), turn.notify_all(); };
    std::vector<std::thread> workers;
    // Started in index order, so that thread identifiers ascend with the index as the model's
    // stand-ins do: the offenses list is ordered by task id.
    std::binary_semaphore started{0};
    for (std::size_t thread = 0; thread < threads; ++thread, started.acquire()) {
        workers.emplace_back([&, thread] {
            run.thread_ids[thread] = static_cast<std::uint64_t>(syscall(SYS_gettid));
            started.release();
            for (std::size_t index = 0; index < stream.size(); ++index) {
                const event_t& event = stream[index];
                if (event.thread != thread || event.op == op_t::debugger) continue;
                await(index);
                std::tie(run.event, run.ordinal) = std::tuple(index, 0);
                if (event.op == op_t::thread_exit) return;
                const std::uint64_t result = call_entry(event, event.id_is_thread ? run.thread_ids[event.arg[1]] : 0);
                if (event.op == op_t::allocate || (event.op >= op_t::fork && event.op <= op_t::fork_nowait)) std::fprintf(out, "%s\n", returned(result).c_str());
                pass();
            }
            await(~std::size_t{0});
        });
    }
    for (std::size_t index = 0; index < stream.size(); ++index) {
        const event_t& event = stream[index];
        if (event.op != op_t::debugger && event.op != op_t::thread_exit) continue;
        await(index);
        if (event.op == op_t::thread_exit) workers[event.thread].join();
        else if (!event.at_stops.empty()) apply_action(event.at_stops.front(), __tavo_config, __tavo_filter_space, tavo::filter_capacity);
        pass();
    }
    await(stream.size());
    _exit(std::fflush(out) == 0 ? 0 : 3);
}

}  // namespace

// Runs a stream against the real library: in a child process forked from a process in which the
// library has just loaded, so every stream starts from the same state (first handle 1, first sync
// id 1), on one real thread per stream thread, one event at a time in stream order. A crash or a
// hang of the child is the outcome's first line.
outcome_t run_library(const stream_t& stream) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return {"no temporary file"};
    const pid_t child = fork();
    if (child == 0) alarm(30), run_in_child(stream, file);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    outcome_t outcome{"completed"};
    if (WIFSIGNALED(status))
        outcome[0] = WTERMSIG(status) == SIGALRM ? "the library hung (no progress within 30 s)" : std::string("the library crashed: signal ") + strsignal(WTERMSIG(status));
    else if (WEXITSTATUS(status) != 0) outcome[0] = "the run ended with exit status " + std::to_string(WEXITSTATUS(status));
    std::rewind(file);
    for (char line[1 << 16]; std::fgets(line, sizeof line, file) != nullptr;) outcome.emplace_back(line, std::strcspn(line, "\n"));
    std::fclose(file);
    return outcome;
}

outcome_t run_model(const stream_t& stream) {
    model_t model;
    for (std::size_t index = 0; index < stream.size(); ++index)
        model.run(stream[index], index, [&](std::size_t ordinal) { return action_at(stream[index], ordinal); });
    model.outcome.insert(model.outcome.begin(), "completed");
    return model.outcome;
}

// Empty when both agree; otherwise where and how they first differ.
std::string compare(const outcome_t& library, const outcome_t& model) {
    const auto [at, other] = std::mismatch(library.begin(), library.end(), model.begin(), model.end());
    if (at == library.end() && other == model.end()) return "";
    return "line " + std::to_string(at - library.begin()) + " differs (0: the run, then a line a stop or returned id)\n  library: " +
           (at != library.end() ? *at : "none") + "\n  model:   " + (other != model.end() ? *other : "none") + "\n";
}

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

// Random streams, generated with the model running alongside, so that the choices make sense
// where they should (exits of open tasks, joins of real forks, filter records written into an
// allocated buffer) and stay arbitrary where the library must cope with anything. extra_flags
// are set in the flags word from the start and kept by every write.
stream_t generate(std::uint64_t seed, std::uint32_t extra_flags) { return generator_t(seed).generate(extra_flags); }

}  // namespace differential

// The harness is the debugger: every stop of the library lands here.
extern "C" void __tavo_switch_to_debugger(void) {
    if (differential::active_run != nullptr) differential::record_stop(*differential::active_run);
}

using namespace differential;

int main(int argc, char** argv) {
    unsigned long long first = 1, last = 100;
    std::uint32_t flags = 0;
    bool usable = true;
    for (int index = 1; index < argc && usable; ++index) {
        const std::string option = argv[index];
        if (option == "--keep-ended-tasks") flags |= TAVO_FLAG_KEEP_ENDED_TASKS;
        else usable = option == "--seeds" && index + 1 < argc && std::sscanf(argv[++index], "%llu..%llu", &first, &last) == 2;
    }
    if (!usable || first > last) {
        std::fprintf(stderr, "usage: %s [--seeds FIRST..LAST] [--keep-ended-tasks]\n", argv[0]);
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    unsigned long long failed = 0, events = 0, counts[4] = {};
    const char* const kinds[] = {" reason ", " reason 256 ", " reason 257 ", " reason -"};  // stops, data sharing, reentrant calls, errors
    for (unsigned long long seed = first; seed <= last; ++seed) {
        const stream_t stream = generate(seed, flags);
        const outcome_t library = run_library(stream);
        const std::string difference = compare(library, run_model(stream));
        events += stream.size();
        for (const std::string& line : library) {
            for (int kind = 0; kind < 4; ++kind) counts[kind] += line.find(kinds[kind]) != std::string::npos;
        }
        if (difference.empty()) continue;
        ++failed;
        std::printf("seed %llu: the library and the model disagree\n%s", seed, difference.c_str());
        std::fflush(stdout);
        // Shrunk by dropping events, one at a time from the end, while the disagreement stays.
        stream_t smallest = stream;
        for (std::size_t index = stream.size(); index-- > 0;) {
            stream_t candidate = smallest;
            candidate.erase(candidate.begin() + static_cast<std::ptrdiff_t>(index));
            complete(candidate);
            const outcome_t candidate_library = run_library(candidate);
            if (candidate.size() < smallest.size() && (library[0] == "completed") == (candidate_library[0] == "completed") &&
                !compare(candidate_library, run_model(candidate)).empty())
                smallest = candidate;
        }
        std::printf("shrunk from %zu to %zu events:\n%s%s\n", stream.size(), smallest.size(), compare(run_library(smallest), run_model(smallest)).c_str(),
                    to_text(smallest).c_str());
        std::fflush(stdout);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("streams %llu..%llu: %llu events, %llu stops compared (%llu data sharing, %llu reentrant calls, %llu errors) in %.1f s\n", first,
                last, events, counts[0], counts[1], counts[2], counts[3], seconds);
    std::printf("%llu passed, %llu failed\n", last - first + 1 - failed, failed);
    return failed == 0 ? 0 : 1;
}
