#include "differential.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>
#include <semaphore>
#include <sstream>
#include <thread>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "model.h"
#include "runtime/runtime.h"

namespace differential {

namespace {

constexpr std::size_t max_threads = 64, max_stops = 200000;

// The child's run. Only one thread works at a time, handed over by semaphores.
struct run_t {
    const stream_t* stream = nullptr;
    std::size_t event = 0, ordinal = 0;
    outcome_t outcome;
    std::uint64_t thread_ids[max_threads] = {};
};
run_t* active_run = nullptr;

std::uint64_t to_placeholder(const run_t& run, std::uint64_t task_id) {
    const auto* found = std::find(std::begin(run.thread_ids), std::end(run.thread_ids), task_id);
    return task_id != 0 && found != std::end(run.thread_ids) ? thread_id_placeholder(static_cast<int>(found - run.thread_ids)) : task_id;
}

void record_stop(run_t& run) {
    if (run.outcome.stops.size() >= max_stops) {
        run.outcome.failure = "the library kept stopping";
        __tavo_config.request = 0;
        __tavo_config.version = TAVO_CONFIG_VERSION;
        return;
    }
    stop_t stop{run.event, __tavo_event_reason, __tavo_current_detection.site, __tavo_config, __TAVO_isGuardedCall, {}, {}, 0, {}};
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
    run.outcome.stops.push_back(describe(stop));
    apply_action(action_at(run.stream->events[run.event], run.ordinal++), __tavo_config, __tavo_filter_space, tavo::filter_capacity);
}

// One real thread per stream thread; it runs the events handed to it and nothing else. At the
// stream's thread exit it ends, and its tear-down runs in the thread-local destructors before join
// returns.
struct worker_t {
    explicit worker_t(run_t& run) : run_(run) { done_.acquire(); }

    void run(const event_t& event) {
        event_ = &event;
        go_.release();
        if (event.op == op_t::thread_exit) thread_.join();
        else done_.acquire();
    }

    run_t& run_;
    const event_t* event_ = nullptr;
    std::uint64_t thread_id_ = 0;
    std::binary_semaphore go_{0}, done_{0};
    std::thread thread_{[this] {
        thread_id_ = static_cast<std::uint64_t>(syscall(SYS_gettid));
        for (done_.release(); go_.acquire(), event_->op != op_t::thread_exit; done_.release()) {
            const std::uint64_t result = call_entry(*event_, event_->id_is_thread ? run_.thread_ids[event_->arg[1]] : 0);
            if (event_->op == op_t::allocate || (event_->op >= op_t::fork && event_->op <= op_t::fork_nowait))
                run_.outcome.results.push_back(result);
        }
    }};
};

[[noreturn]] void run_in_child(const stream_t& stream, int out) {
    run_t run;
    run.stream = &stream;
    std::unique_ptr<worker_t> workers[max_threads];
    auto worker = [&](std::size_t thread) -> worker_t& {
        if (!workers[thread]) {
            workers[thread] = std::make_unique<worker_t>(run);
            run.thread_ids[thread] = workers[thread]->thread_id_;
        }
        return *workers[thread];
    };
    // Started in index order, so that thread identifiers ascend with the index as the model's
    // stand-ins do: the offenses list is ordered by task id.
    std::size_t threads = static_cast<std::size_t>(stream.thread_count());
    for (const event_t& event : stream.events) {
        if (event.id_is_thread) threads = std::max<std::size_t>(threads, event.arg[1] + 1);
    }
    for (std::size_t thread = 0; thread < threads; ++thread) worker(thread);
    active_run = &run;
    for (run.event = 0; run.event < stream.events.size(); ++run.event) {
        const event_t& event = stream.events[run.event];
        run.ordinal = 0;
        if (event.op == op_t::debugger) {
            if (!event.at_stops.empty()) apply_action(event.at_stops.front(), __tavo_config, __tavo_filter_space, tavo::filter_capacity);
        } else if (event.op != op_t::thread_exit || workers[event.thread]) {
            worker(event.thread).run(event);
        }
    }
    active_run = nullptr;
    // One line a stop, then the returned ids.
    std::string text;
    for (const std::string& stop : run.outcome.stops) text += stop + "\n";
    text += "results";
    for (std::uint64_t result : run.outcome.results) text += " " + std::to_string(result);
    text += "\n" + run.outcome.failure + "\n";
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t written = ::write(out, text.data() + at, text.size() - at);
        if (written <= 0) _exit(3);
        at += static_cast<std::size_t>(written);
    }
    // Threads the stream left running are abandoned with the process; no unload event either.
    _exit(0);
}

}  // namespace

outcome_t run_library(const stream_t& stream, unsigned timeout_seconds) {
    outcome_t outcome;
    if (std::any_of(stream.events.begin(), stream.events.end(),
                    [](const event_t& e) { return e.thread >= max_threads || (e.id_is_thread && e.arg[1] >= max_threads); })) {
        outcome.failure = "the stream uses too many threads";
        return outcome;
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
        if (count > 0) received.append(buffer, static_cast<std::size_t>(count));
        else if (errno != EINTR) break;
    }
    close(pipe_ends[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    std::istringstream lines(received);
    std::string line;
    while (std::getline(lines, line) && line.rfind("results", 0) != 0) outcome.stops.push_back(line);
    std::istringstream results(line.substr(std::min<std::size_t>(7, line.size())));
    for (std::uint64_t result; results >> result;) outcome.results.push_back(result);
    const bool complete = line.rfind("results", 0) == 0 && std::getline(lines, outcome.failure);
    if (WIFSIGNALED(status)) {
        outcome.failure = WTERMSIG(status) == SIGALRM ? "the library hung (no progress within the time limit)"
                                                       : std::string("the library crashed: signal ") + strsignal(WTERMSIG(status));
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        outcome.failure = "the run ended with exit status " + std::to_string(WEXITSTATUS(status));
    } else if (!complete) {
        outcome.failure = "the run's result was cut short";
    }
    return outcome;
}

outcome_t run_model(const stream_t& stream) {
    model_t model;
    for (std::size_t index = 0; index < stream.events.size(); ++index) {
        const event_t& event = stream.events[index];
        model.run(event, index, [&](std::size_t ordinal) { return action_at(event, ordinal); });
    }
    outcome_t outcome = model.outcome;
    if (outcome.stops.size() >= max_stops) outcome = {{}, {}, "the library kept stopping"};
    return outcome;
}

namespace {

// The outcome as lines, the failure first: a crash is named before the stops it cut short.
std::vector<std::string> lines_of(const outcome_t& outcome) {
    std::vector<std::string> lines{outcome.failure.empty() ? "completed" : outcome.failure};
    lines.insert(lines.end(), outcome.stops.begin(), outcome.stops.end());
    lines.emplace_back("returned ids");
    for (std::uint64_t result : outcome.results) lines.back() += " " + std::to_string(result);
    return lines;
}

}  // namespace

std::string compare(const outcome_t& library, const outcome_t& model) {
    const std::vector<std::string> l = lines_of(library), m = lines_of(model);
    const auto [at, other] = std::mismatch(l.begin(), l.end(), m.begin(), m.end());
    if (at == l.end() && other == m.end()) return "";
    return "line " + std::to_string(at - l.begin()) + " differs (0: the run, then a line a stop)\n  library: " +
           (at != l.end() ? *at : "none") + "\n  model:   " + (other != m.end() ? *other : "none") + "\n";
}

}  // namespace differential

// The harness is the debugger: every stop of the library lands here.
extern "C" void __tavo_switch_to_debugger(void) {
    if (differential::active_run != nullptr) differential::record_stop(*differential::active_run);
}
