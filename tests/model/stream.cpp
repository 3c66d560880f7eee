// Streams as text, the stubs that call the library's entries, and the runs of a stream by the
// library (in a forked child) and by the model.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <semaphore>
#include <sstream>
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

std::string compare(const outcome_t& library, const outcome_t& model) {
    const auto [at, other] = std::mismatch(library.begin(), library.end(), model.begin(), model.end());
    if (at == library.end() && other == model.end()) return "";
    return "line " + std::to_string(at - library.begin()) + " differs (0: the run, then a line a stop or returned id)\n  library: " +
           (at != library.end() ? *at : "none") + "\n  model:   " + (other != model.end() ? *other : "none") + "\n";
}

}  // namespace differential

// The harness is the debugger: every stop of the library lands here.
extern "C" void __tavo_switch_to_debugger(void) {
    if (differential::active_run != nullptr) differential::record_stop(*differential::active_run);
}
