#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <semaphore>
#include <thread>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "differential.h"
#include "model.h"
#include "runtime/runtime.h"

namespace differential {

namespace {

constexpr std::size_t max_threads = 64;

// The child's run. Only one thread works at a time, handed over by semaphores; each stop and each
// returned id is a line of the outcome file.
struct run_t {
    const stream_t& stream;
    std::FILE* out;
    std::size_t event = 0, ordinal = 0;
    std::uint64_t thread_ids[max_threads] = {};
};
run_t* active_run = nullptr;

std::uint64_t to_placeholder(const run_t& run, std::uint64_t task_id) {
    const auto* found = std::find(std::begin(run.thread_ids), std::end(run.thread_ids), task_id);
    return task_id != 0 && found != std::end(run.thread_ids) ? thread_id_placeholder(static_cast<int>(found - run.thread_ids)) : task_id;
}

void record_stop(run_t& run) {
    stop_t stop{run.event, __tavo_event_reason, __tavo_current_detection.site, __tavo_config, __TAVO_isGuardedCall, {}, {}, 0, {}};
    if (stop.reason == TAVO_EVENT_DATA_SHARING) {
        const tavo_sharing_detection_t& sharing = __tavo_current_detection.sharing;
        stop.offending = sharing.offending;
        stop.offended.assign(sharing.offended, sharing.offended + sharing.offended_count);
        stop.offending.task_id = to_placeholder(run, stop.offending.task_id);
        for (tavo_access_t& access : stop.offended) access.task_id = to_placeholder(run, access.task_id);
    }
    if (stop.reason == TAVO_EVENT_REENTRANT_CALL) {
        const tavo_reentrancy_detection_t& reentrancy = __tavo_current_detection.reentrancy;
        stop.function = reentrancy.function;
        stop.offenses.assign(reentrancy.offenses, reentrancy.offenses + reentrancy.offense_count);
        for (tavo_offense_t& offense : stop.offenses) offense.task_id = to_placeholder(run, offense.task_id);
    }
    std::fprintf(run.out, "%s\n", describe(stop).c_str());
    apply_action(action_at(run.stream[run.event], run.ordinal++), __tavo_config, __tavo_filter_space, tavo::filter_capacity);
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
                std::fprintf(run_.out, "%s\n", returned(result).c_str());
        }
    }};
};

[[noreturn]] void run_in_child(const stream_t& stream, std::FILE* out) {
    run_t run{stream, out};
    // Started in index order, so that thread identifiers ascend with the index as the model's
    // stand-ins do: the offenses list is ordered by task id.
    std::size_t threads = static_cast<std::size_t>(thread_count(stream));
    for (const event_t& event : stream) threads = event.id_is_thread ? std::max<std::size_t>(threads, event.arg[1] + 1) : threads;
    std::unique_ptr<worker_t> workers[max_threads];
    for (std::size_t thread = 0; thread < threads; ++thread) {
        workers[thread] = std::make_unique<worker_t>(run);
        run.thread_ids[thread] = workers[thread]->thread_id_;
    }
    active_run = &run;
    for (; run.event < stream.size(); ++run.event) {
        const event_t& event = stream[run.event];
        run.ordinal = 0;
        if (event.op != op_t::debugger) workers[event.thread]->run(event);
        else if (!event.at_stops.empty()) apply_action(event.at_stops.front(), __tavo_config, __tavo_filter_space, tavo::filter_capacity);
    }
    // Threads the stream left running are abandoned with the process; no unload event either.
    _exit(std::fflush(out) == 0 ? 0 : 3);
}

}  // namespace

outcome_t run_library(const stream_t& stream) {
    if (std::any_of(stream.begin(), stream.end(), [](const event_t& e) { return e.thread >= max_threads || (e.id_is_thread && e.arg[1] >= max_threads); }))
        return {"the stream uses too many threads"};
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return {"no temporary file"};
    const pid_t child = fork();
    if (child == 0) {
        alarm(30);
        run_in_child(stream, file);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    outcome_t outcome{"completed"};
    if (WIFSIGNALED(status))
        outcome[0] = WTERMSIG(status) == SIGALRM ? "the library hung (no progress within 30 s)" : std::string("the library crashed: signal ") + strsignal(WTERMSIG(status));
    else if (WEXITSTATUS(status) != 0) outcome[0] = "the run ended with exit status " + std::to_string(WEXITSTATUS(status));
    std::rewind(file);
    char* line = nullptr;
    std::size_t capacity = 0;
    for (ssize_t length; (length = getline(&line, &capacity, file)) > 0;) outcome.emplace_back(line, static_cast<std::size_t>(length - 1));
    std::free(line);
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
