#include "executor.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runtime/runtime.h"

#define TAVO_DECLARE_ACCESS_STUBS(name)                                                                 \
    void name##_0(const void*, std::uint32_t); void name##_1(const void*, std::uint32_t);              \
    void name##_2(const void*, std::uint32_t); void name##_3(const void*, std::uint32_t);
extern "C" {
TAVO_DECLARE_ACCESS_STUBS(tavo_stub_read)
TAVO_DECLARE_ACCESS_STUBS(tavo_stub_write)
TAVO_DECLARE_ACCESS_STUBS(tavo_stub_update)
TAVO_DECLARE_ACCESS_STUBS(tavo_stub_atomic)
void tavo_stub_enter_function(const void*, const void*);
void tavo_stub_leave_function(const void*, const void*);
void tavo_stub_enter_task(std::int32_t, std::uint64_t);
void tavo_stub_leave_task(std::int32_t, std::uint64_t);
void tavo_stub_activate(std::uint32_t);
void tavo_stub_acquire(std::uint32_t, std::uint64_t);
void tavo_stub_release(std::uint32_t, std::uint64_t);
void tavo_stub_acquire_weak(std::uint32_t, std::uint64_t);
void tavo_stub_release_weak(std::uint32_t, std::uint64_t);
void tavo_stub_destroy(std::uint32_t, std::uint64_t);
void tavo_stub_alias(std::uint32_t, std::uint64_t, std::uint32_t, std::uint64_t);
std::uint64_t tavo_stub_allocate();
std::uint64_t tavo_stub_fork(std::int32_t, std::uint64_t);
std::uint64_t tavo_stub_fork_current();
std::uint64_t tavo_stub_fork_nowait();
void tavo_stub_join(std::uint64_t);
void tavo_stub_taskwait(std::int32_t, std::uint64_t);
void tavo_stub_taskwait_current();
}

namespace differential {

namespace {

using access_stub_t = void (*)(const void*, std::uint32_t);
const access_stub_t access_stubs[4][access_variants] = {
    {tavo_stub_read_0, tavo_stub_read_1, tavo_stub_read_2, tavo_stub_read_3},
    {tavo_stub_write_0, tavo_stub_write_1, tavo_stub_write_2, tavo_stub_write_3},
    {tavo_stub_update_0, tavo_stub_update_1, tavo_stub_update_2, tavo_stub_update_3},
    {tavo_stub_atomic_0, tavo_stub_atomic_1, tavo_stub_atomic_2, tavo_stub_atomic_3},
};

constexpr std::size_t max_threads = 64;
constexpr std::size_t max_stops = 200000;

// State of the child's run. Only one thread works at a time and every hand-off goes through a
// mutex, so plain fields suffice.
struct run_t {
    const stream_t* stream = nullptr;
    std::size_t event = 0;
    std::size_t ordinal = 0;
    std::vector<stop_t> stops;
    std::vector<std::uint64_t> results;
    std::uint64_t thread_ids[max_threads] = {};
    bool runaway = false;
};
std::atomic<run_t*> active_run{nullptr};

std::uint64_t to_placeholder(const run_t& run, std::uint64_t task_id) {
    for (std::size_t thread = 0; thread < max_threads; ++thread) {
        if (run.thread_ids[thread] != 0 && run.thread_ids[thread] == task_id) return thread_id_placeholder(static_cast<int>(thread));
    }
    return task_id;
}

void record_stop(run_t& run) {
    if (run.stops.size() >= max_stops) {
        run.runaway = true;
        __tavo_config.request = 0;
        __tavo_config.version = TAVO_CONFIG_VERSION;
        return;
    }
    stop_t stop;
    stop.event = run.event;
    stop.reason = __tavo_event_reason;
    stop.site = __tavo_current_detection.site;
    stop.config = __tavo_config;
    stop.active_mask = __TAVO_isGuardedCall;
    if (stop.reason == TAVO_EVENT_DATA_SHARING) {
        const tavo_sharing_detection_t& sharing = __tavo_current_detection.sharing;
        stop.offending = sharing.offending;
        stop.offending.task_id = to_placeholder(run, stop.offending.task_id);
        stop.offended.assign(sharing.offended, sharing.offended + sharing.offended_count);
        for (tavo_access_t& access : stop.offended) access.task_id = to_placeholder(run, access.task_id);
    }
    if (stop.reason == TAVO_EVENT_REENTRANT_CALL) {
        const tavo_reentrancy_detection_t& reentrancy = __tavo_current_detection.reentrancy;
        stop.function = reentrancy.function;
        stop.offenses.assign(reentrancy.offenses, reentrancy.offenses + reentrancy.offense_count);
        for (tavo_offense_t& offense : stop.offenses) offense.task_id = to_placeholder(run, offense.task_id);
    }
    run.stops.push_back(stop);
    const debugger_action_t action = action_at(run.stream->events[run.event], run.ordinal++);
    apply_action(action, __tavo_config, __tavo_filter_space, tavo::filter_capacity);
}

// One real thread per stream thread; it runs the events handed to it and nothing else.
class worker_t {
public:
    explicit worker_t(run_t& run) : run_(run), thread_([this] { loop(); }) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return thread_id_ != 0; });
    }

    std::uint64_t thread_id() const { return thread_id_; }

    void run(const event_t& event) {
        std::unique_lock<std::mutex> lock(mutex_);
        event_ = &event;
        changed_.notify_all();
        changed_.wait(lock, [&] { return event_ == nullptr; });
    }

    // The thread ends; its tear-down runs in the thread-local destructor before join returns.
    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            exit_ = true;
            changed_.notify_all();
        }
        thread_.join();
    }

private:
    void loop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            thread_id_ = static_cast<std::uint64_t>(syscall(SYS_gettid));
            changed_.notify_all();
        }
        for (;;) {
            const event_t* event;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return event_ != nullptr || exit_; });
                if (exit_) return;
                event = event_;
            }
            execute(*event);
            std::lock_guard<std::mutex> lock(mutex_);
            event_ = nullptr;
            changed_.notify_all();
        }
    }

    void execute(const event_t& e) {
        const std::uint64_t id = e.id_is_thread ? run_.thread_ids[e.id] : e.id;
        const auto type = static_cast<std::uint32_t>(e.type);
        const auto* address = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(e.id));
        switch (e.op) {
        case op_t::read: access_stubs[0][e.variant](address, e.target_type); break;
        case op_t::write: access_stubs[1][e.variant](address, e.target_type); break;
        case op_t::update: access_stubs[2][e.variant](address, e.target_type); break;
        case op_t::atomic: access_stubs[3][e.variant](address, e.target_type); break;
        case op_t::enter_function:
        case op_t::leave_function: {
            const void* function = function_table() + e.id;
            const auto* frame = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(e.target_id));
            if (e.op == op_t::enter_function) tavo_stub_enter_function(function, frame);
            else tavo_stub_leave_function(function, frame);
            break;
        }
        case op_t::enter_task: _TAVO_enterGenericTaskFrom(e.type, id, e.site); break;
        case op_t::leave_task: _TAVO_leaveGenericTaskFrom(e.type, id, e.site); break;
        case op_t::enter_task_plain: tavo_stub_enter_task(e.type, id); break;
        case op_t::leave_task_plain: tavo_stub_leave_task(e.type, id); break;
        case op_t::activate: tavo_stub_activate(type); break;
        case op_t::acquire: tavo_stub_acquire(type, id); break;
        case op_t::release: tavo_stub_release(type, id); break;
        case op_t::acquire_weak: tavo_stub_acquire_weak(type, id); break;
        case op_t::release_weak: tavo_stub_release_weak(type, id); break;
        case op_t::destroy: tavo_stub_destroy(type, id); break;
        case op_t::notify_acquired: __zuk_sync_acquired(const_cast<void*>(address)); break;
        case op_t::notify_releasing: __zuk_sync_releasing(const_cast<void*>(address)); break;
        case op_t::notify_destroy: __zuk_sync_destroy(const_cast<void*>(address)); break;
        case op_t::alias: tavo_stub_alias(type, id, e.target_type, e.target_id); break;
        case op_t::allocate: run_.results.push_back(tavo_stub_allocate()); break;
        case op_t::fork: run_.results.push_back(tavo_stub_fork(e.type, id)); break;
        case op_t::fork_current: run_.results.push_back(tavo_stub_fork_current()); break;
        case op_t::fork_nowait: run_.results.push_back(tavo_stub_fork_nowait()); break;
        case op_t::join: tavo_stub_join(e.id); break;
        case op_t::taskwait: tavo_stub_taskwait(e.type, id); break;
        case op_t::taskwait_current: tavo_stub_taskwait_current(); break;
        case op_t::warn: _TAVO_warn(e.type); break;
        case op_t::warn_from: _TAVO_warnFrom(e.type, e.site); break;
        case op_t::debugger_write:
        case op_t::thread_exit: break;
        }
    }

    run_t& run_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const event_t* event_ = nullptr;
    bool exit_ = false;
    std::uint64_t thread_id_ = 0;
    std::thread thread_;
};

// ---- The child's result, sent to the parent through a pipe ----------------------------------

template <class T>
void put(std::string& out, const T& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <class T>
bool take(const std::string& in, std::size_t& at, T& value) {
    if (at + sizeof value > in.size()) return false;
    std::memcpy(&value, in.data() + at, sizeof value);
    at += sizeof value;
    return true;
}

std::string encode(const run_t& run) {
    std::string out;
    put(out, std::uint64_t{run.stops.size()});
    for (const stop_t& stop : run.stops) {
        put(out, std::uint64_t{stop.event});
        put(out, stop.reason);
        put(out, stop.site);
        put(out, stop.config);
        put(out, stop.active_mask);
        put(out, stop.offending);
        put(out, std::uint64_t{stop.offended.size()});
        for (const tavo_access_t& access : stop.offended) put(out, access);
        put(out, stop.function);
        put(out, std::uint64_t{stop.offenses.size()});
        for (const tavo_offense_t& offense : stop.offenses) put(out, offense);
    }
    put(out, std::uint64_t{run.results.size()});
    for (std::uint64_t result : run.results) put(out, result);
    put(out, std::uint8_t{run.runaway});
    put(out, std::uint32_t{0x600DF00D});  // the run completed
    return out;
}

bool decode(const std::string& in, outcome_t& outcome) {
    std::size_t at = 0;
    std::uint64_t count = 0;
    if (!take(in, at, count)) return false;
    for (std::uint64_t index = 0; index < count; ++index) {
        stop_t stop;
        std::uint64_t event = 0, size = 0;
        if (!take(in, at, event) || !take(in, at, stop.reason) || !take(in, at, stop.site) || !take(in, at, stop.config) ||
            !take(in, at, stop.active_mask) || !take(in, at, stop.offending) || !take(in, at, size))
            return false;
        stop.event = event;
        stop.offended.resize(size);
        for (tavo_access_t& access : stop.offended) {
            if (!take(in, at, access)) return false;
        }
        if (!take(in, at, stop.function) || !take(in, at, size)) return false;
        stop.offenses.resize(size);
        for (tavo_offense_t& offense : stop.offenses) {
            if (!take(in, at, offense)) return false;
        }
        outcome.stops.push_back(stop);
    }
    if (!take(in, at, count)) return false;
    outcome.results.resize(count);
    for (std::uint64_t& result : outcome.results) {
        if (!take(in, at, result)) return false;
    }
    std::uint8_t runaway = 0;
    std::uint32_t marker = 0;
    if (!take(in, at, runaway) || !take(in, at, marker) || marker != 0x600DF00D) return false;
    if (runaway) outcome.failure = "the library kept stopping";
    return true;
}

[[noreturn]] void run_in_child(const stream_t& stream, int out) {
    run_t run;
    run.stream = &stream;
    std::vector<std::unique_ptr<worker_t>> workers(max_threads);
    auto worker = [&](std::size_t thread) -> worker_t& {
        if (!workers[thread]) {
            workers[thread] = std::make_unique<worker_t>(run);
            run.thread_ids[thread] = workers[thread]->thread_id();
        }
        return *workers[thread];
    };
    // Started in index order, so that thread identifiers ascend with the index as the model's
    // stand-ins do: the offenses list is ordered by task id.
    std::size_t threads = static_cast<std::size_t>(stream.thread_count());
    for (const event_t& event : stream.events) {
        if (event.id_is_thread) threads = std::max<std::size_t>(threads, event.id + 1);
    }
    for (std::size_t thread = 0; thread < threads; ++thread) worker(thread);
    active_run = &run;
    for (std::size_t index = 0; index < stream.events.size(); ++index) {
        const event_t& event = stream.events[index];
        run.event = index;
        run.ordinal = 0;
        if (event.op == op_t::debugger_write) {
            if (!event.at_stops.empty())
                apply_action(event.at_stops.front(), __tavo_config, __tavo_filter_space, tavo::filter_capacity);
            continue;
        }
        if (event.id_is_thread && event.id < max_threads) worker(event.id);
        if (event.op == op_t::thread_exit) {
            if (workers[event.thread]) workers[event.thread]->finish();
            continue;
        }
        worker(event.thread).run(event);
    }
    active_run = nullptr;
    const std::string encoded = encode(run);
    for (std::size_t at = 0; at < encoded.size();) {
        const ssize_t written = ::write(out, encoded.data() + at, encoded.size() - at);
        if (written <= 0) _exit(3);
        at += static_cast<std::size_t>(written);
    }
    // Threads the stream left running are abandoned with the process; no unload event either.
    _exit(0);
}

}  // namespace

outcome_t run_library(const stream_t& stream, unsigned timeout_seconds) {
    outcome_t outcome;
    for (const event_t& event : stream.events) {
        if (event.thread >= max_threads || (event.id_is_thread && event.id >= max_threads)) {
            outcome.failure = "the stream uses too many threads";
            return outcome;
        }
    }
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) {
        outcome.failure = "no pipe";
        return outcome;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        alarm(timeout_seconds);
        run_in_child(stream, pipe_ends[1]);
    }
    close(pipe_ends[1]);
    std::string received;
    char buffer[65536];
    for (ssize_t count; (count = ::read(pipe_ends[0], buffer, sizeof buffer)) != 0;) {
        if (count < 0) {
            if (errno == EINTR) continue;
            break;
        }
        received.append(buffer, static_cast<std::size_t>(count));
    }
    close(pipe_ends[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (WIFSIGNALED(status)) {
        outcome.failure = WTERMSIG(status) == SIGALRM ? "the library hung (no progress within the time limit)"
                                                       : std::string("the library crashed: signal ") + strsignal(WTERMSIG(status));
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        outcome.failure = "the run ended with exit status " + std::to_string(WEXITSTATUS(status));
    } else if (!decode(received, outcome)) {
        outcome.failure = "the run's result was cut short";
    }
    return outcome;
}

outcome_t run_model(const stream_t& stream, const model_options_t& options) {
    model_t model(options);
    for (std::size_t index = 0; index < stream.events.size(); ++index) {
        const event_t& event = stream.events[index];
        model.run(event, index, [&](const stop_t&, std::size_t ordinal) { return action_at(event, ordinal); });
        if (model.stops().size() >= max_stops) {
            outcome_t outcome;
            outcome.failure = "the library kept stopping";
            return outcome;
        }
    }
    return {model.stops(), model.results(), {}};
}

namespace {

bool same(const tavo_access_t& a, const tavo_access_t& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same(const tavo_offense_t& a, const tavo_offense_t& b) { return a.task_type == b.task_type && a.task_id == b.task_id; }

std::string stop_difference(const stop_t& library, const stop_t& model) {
    if (library.event != model.event || library.reason != model.reason || library.site != model.site ||
        std::memcmp(&library.config, &model.config, sizeof library.config) != 0 || library.active_mask != model.active_mask)
        return "stop";
    if (library.reason == TAVO_EVENT_DATA_SHARING) {
        if (!same(library.offending, model.offending)) return "offending access";
        const std::vector<tavo_access_t>&a = library.offended, &b = model.offended;
        if (a.size() != b.size() || !std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) { return same(x, y); }))
            return "offended accesses";
    }
    if (library.reason == TAVO_EVENT_REENTRANT_CALL) {
        if (library.function != model.function) return "function";
        if (library.offenses.size() != model.offenses.size() ||
            !std::equal(library.offenses.begin(), library.offenses.end(), model.offenses.begin(),
                        [](auto& x, auto& y) { return same(x, y); }))
            return "offenses";
    }
    return {};
}

}  // namespace

std::string compare(const outcome_t& library, const outcome_t& model) {
    std::ostringstream text;
    if (library.failure != model.failure) {
        text << "library: " << (library.failure.empty() ? "completed" : library.failure) << "; model: "
             << (model.failure.empty() ? "completed" : model.failure) << "\n";
        if (!library.failure.empty() && library.stops.empty()) return text.str();
    }
    const std::size_t common = std::min(library.stops.size(), model.stops.size());
    for (std::size_t index = 0; index < common; ++index) {
        const std::string what = stop_difference(library.stops[index], model.stops[index]);
        if (what.empty()) continue;
        text << "stop " << index << " differs (" << what << ")\n  library: " << describe(library.stops[index])
             << "\n  model:   " << describe(model.stops[index]) << "\n";
        return text.str();
    }
    if (library.stops.size() != model.stops.size()) {
        text << "the library stopped " << library.stops.size() << " times, the model " << model.stops.size() << " times\n";
        const auto& longer = library.stops.size() > model.stops.size() ? library : model;
        text << "  first extra stop (" << (&longer == &library ? "library" : "model") << "): " << describe(longer.stops[common]) << "\n";
        return text.str();
    }
    if (library.results != model.results) {
        text << "returned ids differ:";
        for (std::uint64_t r : library.results) text << " " << r;
        text << " (library) against";
        for (std::uint64_t r : model.results) text << " " << r;
        text << " (model)\n";
    }
    return text.str();
}

model_options_t library_model_options() { return {}; }

}  // namespace differential

// The harness is the debugger: every stop of the library lands here.
extern "C" void __tavo_switch_to_debugger(void) {
    if (differential::run_t* run = differential::active_run.load()) differential::record_stop(*run);
}
