// OpenMP programs through the runtime's tool interface (OMPT): the runtime finds this tool in the
// program's symbols (ompt_start_tool) and reports its constructs, which become tavo's tasks, forks
// and sync objects. How the constructs map is told in the README ("OpenMP programs").
//
// Every OpenMP task, implicit or explicit, is a detached task context of type 2: it is made the
// current task of whichever thread runs it, and once complete it stays comparable (its records and
// its handle kept) until the runtime has ordered it before everything that can still run.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <new>

#include "omp_tools.h"  // the runtime's tool interface

#include "frontend/frontend.h"
#include "frontend/threads.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/spin_lock.h"
#include "sync/sync_ids.h"
#include "task/fork.h"
#include "task/task_context.h"
#include "task/task_model.h"
#include "task/thread_record.h"

using namespace tavo;
using namespace tavo::frontend;

namespace {

constexpr std::int32_t openmp_task_type = 2;
// Barriers, task groups, dependences, reductions and flushes: ids come from the sync id counter, so
// one type is enough for all of them.
constexpr std::uint32_t openmp_sync_type = 7;

std::uint64_t site_of_code(const void* codeptr) { return reinterpret_cast<std::uintptr_t>(codeptr); }

void acquire(std::uint32_t type, std::uint64_t id, std::uint64_t site) { sync_operation({type, id}, memory_order::acquire, site); }
void release(std::uint32_t type, std::uint64_t id, std::uint64_t site) { sync_operation({type, id}, memory_order::release, site); }
void destroy(std::uint32_t type, std::uint64_t id) { sync_operation({type, id}, memory_order::destroy, 0); }

// A parallel region: the fork its implicit tasks start from, and the objects its barriers and its
// reductions synchronise through. Barrier objects alternate: a thread can release into barrier
// k + 2 only after every thread has left barrier k.
struct team_t {
    std::uint64_t fork_id;
    std::uint64_t barriers[2];
    std::uint64_t reduction;
    std::atomic<int> references;  // the encountering task and each implicit task
    std::atomic<std::uint64_t> barriers_ended{0};  // barriers after which the kept tasks were ended
};

void release_team(team_t* team) {
    if (team->references.fetch_sub(1) != 1) return;
    destroy(openmp_sync_type, team->barriers[0]);
    destroy(openmp_sync_type, team->barriers[1]);
    destroy(openmp_sync_type, team->reduction);
    heap_delete(team);
}

// What a task's dependences order among the sibling tasks of one address: the object of the last
// task that wrote it, the object of the readers since, and the open set of mutexinoutset or
// inoutset tasks, whose members order themselves after what preceded the set.
struct dependence_t {
    std::uint64_t writer = 0;
    std::uint64_t readers = 0;
    std::uint64_t set = 0;
    std::uint64_t set_lock = 0;  // mutexinoutset: members exclude each other
    int set_kind = 0;
    std::uint64_t before_set[2] = {};
};

// A task lives until its context is ended: it holds itself (while it runs and then while it is
// kept), and each task it created holds it until that one completes, since the child's data block
// holds what the creator wrote there.
struct openmp_task_t {
    task_context_t* context = nullptr;
    bool owned = true;      // the initial task runs in the thread's own task
    bool implicit = false;
    bool started = false;
    bool waits = false;     // stands for a task wait with dependences
    std::atomic<int> holds{1};
    team_t* team = nullptr;
    openmp_task_t* creator = nullptr;  // explicit tasks, until they complete
    std::uint64_t fork_id = 0;
    std::uint64_t group = 0;           // the task group it completes into, or 0
    std::uint32_t flags = 0;
    int index = 0;                     // implicit tasks: thread number in the team
    std::uint64_t epoch = 0;           // implicit tasks: barriers passed
    vector_t<std::uint64_t> acquires, releases;  // dependence objects
    vector_t<std::uint64_t> groups;              // task groups open in this task
    unordered_map_t<std::uintptr_t, dependence_t> dependences;  // of its child tasks
    vector_t<std::uint64_t> dependence_objects;                  // every object they made
};

openmp_task_t* task_of(const ompt_data_t* data) { return data != nullptr ? static_cast<openmp_task_t*>(data->ptr) : nullptr; }

std::atomic<std::uint64_t> next_task_id{1};

// From the program's exit on, the runtime's threads may still call in while the library's state is
// being torn down: they are let alone.
std::atomic<bool> closing{false};
bool watching() { return ready.load(std::memory_order_relaxed) && !closing.load(std::memory_order_relaxed); }
void close_at_exit() { closing.store(true); }
std::uint64_t flush_object = 0;
ompt_get_task_memory_t get_task_memory = nullptr;

// ---- Contexts on threads ----

// Per thread: its own task, which OpenMP contexts stand on, and the contexts that implicit tasks
// displaced, innermost last.
constexpr int nesting_capacity = 64;
struct thread_state_t {
    task_context_t* own = nullptr;
    bool own_known = false;
    int depth = 0;
    task_context_t* displaced[nesting_capacity];
    openmp_task_t* implicit[nesting_capacity];
};
thread_local thread_state_t thread_state;

thread_record_t* record_of_thread() {
    thread_record_t* record = obtain_thread_record();
    if (record != nullptr && !thread_state.own_known) {
        thread_state.own = record->current_task;
        thread_state.own_known = true;
    }
    return record;
}

void make_current(task_context_t* context) {
    thread_record_t* record = record_of_thread();
    if (record == nullptr) return;
    if (context == nullptr) context = thread_state.own;
    else if (context != thread_state.own) context->parent = thread_state.own;
    record->current_task = context;
}

task_context_t* current_context() {
    thread_record_t* record = record_of_thread();
    return record != nullptr ? record->current_task : nullptr;
}

// ---- Memory that tasks stop using ----

// The frames below the innermost live instrumented frame are dead, or the runtime's (which record
// nothing): what any task did there is over. How deep they went is not known; the window is.
constexpr std::uintptr_t dead_window = 64 * 1024;

// Where the calling thread's stack begins (its highest address), or 0 when it cannot be told.
std::uintptr_t stack_base() {
    static thread_local std::uintptr_t base = 0;
    std::uintptr_t low = 0;
    if (base == 0 && !stack_range(low, base)) base = 0;
    return base;
}

void forget_dead_frames(task_context_t* current) {
    if (current == nullptr) return;
    const std::uintptr_t here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // Without a live instrumented frame (a runtime thread between tasks), nothing of the program's
    // lives on this stack.
    std::uintptr_t top = innermost_frame();
    if (top == 0) top = stack_base();
    if (top < here || top - here > (std::uintptr_t{1} << 30)) top = here;
    runtime.tsm.forget_range(nullptr, here - dead_window, top - (here - dead_window), 0);
}

// ---- Completed tasks, kept comparable ----

// Completed tasks are ended when everything they did is ordered before whatever runs next: when no
// parallel region is active any more, or when the only active region's team leaves a barrier.
// Past the bound they are ended oldest first: every access compares with the entries of all kept
// tasks in its granules, which costs time.
constexpr std::size_t kept_bound = 512;
std::uint8_t kept_lock = 0;
openmp_task_t* kept[kept_bound];
std::size_t kept_count = 0;
std::atomic<int> active_regions{0};

void let_go(openmp_task_t* task) {
    if (task == nullptr || !task->owned || task->holds.fetch_sub(1) != 1) return;
    // Its children have all completed: nothing uses their dependence objects any more.
    for (std::uint64_t object : task->dependence_objects) destroy(openmp_sync_type, object);
    if (task->context != nullptr) end_detached_task(task->context, 0);
    heap_delete(task);
}

void keep(openmp_task_t* task) {
    openmp_task_t* ending[kept_bound / 2];
    std::size_t ending_count = 0;
    {
        spin_guard_t guard(kept_lock);
        if (kept_count == kept_bound) {
            ending_count = kept_bound / 2;
            std::copy(kept, kept + ending_count, ending);
            std::copy(kept + ending_count, kept + kept_count, kept);
            kept_count -= ending_count;
        }
        kept[kept_count++] = task;
    }
    for (std::size_t index = 0; index < ending_count; ++index) let_go(ending[index]);
}

// `team`: the only active region's, which leaves barrier `epoch`; its first thread to do so ends
// what was kept, before any thread of the team can create a task after the barrier.
void end_all_kept(team_t* team = nullptr, std::uint64_t epoch = 0) {
    openmp_task_t* ending[kept_bound];
    std::size_t ending_count = 0;
    {
        spin_guard_t guard(kept_lock);
        if (team != nullptr && !team->barriers_ended.compare_exchange_strong(epoch, epoch + 1)) return;
        ending_count = kept_count;
        std::copy(kept, kept + kept_count, ending);
        kept_count = 0;
    }
    for (std::size_t index = 0; index < ending_count; ++index) let_go(ending[index]);
}

task_context_t* new_context(std::uint64_t site) {
    return new_detached_task(openmp_task_type, next_task_id.fetch_add(1), site);
}

// ---- Parallel regions and implicit tasks ----

void on_parallel_begin(ompt_data_t*, const ompt_frame_t*, ompt_data_t* parallel_data, unsigned, int,
                       const void* codeptr) {
    if (!watching()) return;
    auto* team = heap_new<team_t>();
    if (team != nullptr) {
        team->barriers[0] = take_sync_id();
        team->barriers[1] = take_sync_id();
        team->reduction = take_sync_id();
        team->references.store(1);
        team->fork_id = fork_without_wait(site_of_code(codeptr));
    }
    parallel_data->ptr = team;
    active_regions.fetch_add(1);
}

void on_parallel_end(ompt_data_t* parallel_data, ompt_data_t*, int, const void* codeptr) {
    if (!watching()) return;
    auto* team = static_cast<team_t*>(parallel_data->ptr);
    if (team == nullptr) return;
    parallel_data->ptr = nullptr;
    join_fork(team->fork_id, site_of_code(codeptr));
    release_team(team);
    if (active_regions.fetch_sub(1) == 1) end_all_kept();
}

void on_implicit_task(ompt_scope_endpoint_t endpoint, ompt_data_t* parallel_data, ompt_data_t* task_data, unsigned,
                      unsigned index, int flags) {
    if (!watching()) return;
    if (endpoint == ompt_scope_begin) {
            auto* task = heap_new<openmp_task_t>();
        if (task == nullptr) return;
        task->implicit = true;
        task_data->ptr = task;
        if (flags & ompt_task_initial) {
            task->owned = false;
            task->context = current_context();
            return;
        }
        task->team = parallel_data != nullptr ? static_cast<team_t*>(parallel_data->ptr) : nullptr;
        task->index = static_cast<int>(index);
        task->context = new_context(0);
        if (task->team != nullptr) task->team->references.fetch_add(1);
        thread_state_t& state = thread_state;
        if (state.depth < nesting_capacity) {
            state.displaced[state.depth] = current_context();
            state.implicit[state.depth] = task;
        }
        ++state.depth;
        make_current(task->context);
        if (task->team != nullptr) acquire(task_start_sync_type, task->team->fork_id, 0);
        return;
    }
    openmp_task_t* task = task_of(task_data);
    if (task == nullptr) return;
    task_data->ptr = nullptr;
    if (task->owned) {
        // The encountering task takes the team's work in through the master's implicit task, which
        // passed the region's last barrier; the other threads may end theirs after the region.
        if (task->team != nullptr && task->index == 0) release(task_end_sync_type, task->team->fork_id, 0);
        thread_state_t& state = thread_state;
        if (state.depth > 0) --state.depth;
        make_current(state.depth < nesting_capacity ? state.displaced[state.depth] : nullptr);
        if (task->team != nullptr) release_team(task->team);
        task->team = nullptr;
        keep(task);
    }
}

openmp_task_t* innermost_implicit_task() {
    const thread_state_t& state = thread_state;
    return state.depth > 0 && state.depth <= nesting_capacity ? state.implicit[state.depth - 1] : nullptr;
}

// ---- Barriers, task waits, task groups, reductions ----

bool is_barrier(ompt_sync_region_t kind) {
    return kind != ompt_sync_region_taskwait && kind != ompt_sync_region_taskgroup && kind != ompt_sync_region_reduction;
}

void on_sync_region(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint, ompt_data_t*, ompt_data_t* task_data,
                    const void* codeptr) {
    if (!watching()) return;
    openmp_task_t* task = task_of(task_data);
    if (task == nullptr) return;
    const std::uint64_t site = site_of_code(codeptr);
    if (is_barrier(kind)) {
        if (task->team == nullptr || !task->implicit || task->context == nullptr) return;
        const std::uint64_t barrier = task->team->barriers[task->epoch & 1];
        if (endpoint == ompt_scope_begin) {
            release(openmp_sync_type, barrier, site);
            // Inside a barrier the task runs only the runtime's combining of reductions, which
            // reads what the other threads left before they arrived; explicit tasks the thread
            // runs there are tasks of their own.
            task->context->flags |= task_exempt;
        } else {
            task->context->flags &= ~task_exempt;
            acquire(openmp_sync_type, barrier, site);
            if (active_regions.load() == 1) end_all_kept(task->team, task->epoch);
            ++task->epoch;
        }
        return;
    }
    switch (kind) {
    case ompt_sync_region_taskwait:
        if (endpoint == ompt_scope_end) wait_for_forks_of_current_task(site);
        break;
    case ompt_sync_region_taskgroup:
        if (endpoint == ompt_scope_begin) {
            try {
                task->groups.push_back(take_sync_id());
            } catch (...) {
            }
        } else if (!task->groups.empty()) {
            acquire(openmp_sync_type, task->groups.back(), site);
            destroy(openmp_sync_type, task->groups.back());
            task->groups.pop_back();
        }
        break;
    case ompt_sync_region_reduction:
        // The runtime combines one thread at a time.
        if (task->team == nullptr) break;
        if (endpoint == ompt_scope_begin) acquire(openmp_sync_type, task->team->reduction, site);
        else release(openmp_sync_type, task->team->reduction, site);
        break;
    default:
        break;
    }
}

// A task group's end combines its task reductions after the wait and before the region's end: the
// group's tasks are ordered before the combining, which reads what they wrote.
void on_sync_region_wait(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint, ompt_data_t*, ompt_data_t* task_data,
                         const void* codeptr) {
    if (!watching() || kind != ompt_sync_region_taskgroup || endpoint != ompt_scope_end) return;
    openmp_task_t* task = task_of(task_data);
    if (task != nullptr && !task->groups.empty()) acquire(openmp_sync_type, task->groups.back(), site_of_code(codeptr));
}

// ---- Explicit tasks ----

void on_task_create(ompt_data_t* encountering_task_data, const ompt_frame_t*, ompt_data_t* new_task_data, int flags,
                    int, const void* codeptr) {
    if (!watching()) return;
    if ((flags & (ompt_task_explicit | ompt_task_target | ompt_task_taskwait)) == 0)
        return;
    auto* task = heap_new<openmp_task_t>();
    if (task == nullptr) return;
    openmp_task_t* creator = task_of(encountering_task_data);
    task->creator = creator;
    task->flags = static_cast<std::uint32_t>(flags);
    new_task_data->ptr = task;
    // A task wait with dependences is announced as a task of its own that the waiting task
    // "runs": it only acquires.
    if (flags & ompt_task_taskwait) {
        task->waits = true;
        return;
    }
    task->fork_id = fork_current_task(site_of_code(codeptr));
    if (creator != nullptr) {
        creator->holds.fetch_add(1);
        task->team = creator->team;
        task->group = creator->groups.empty() ? creator->group : creator->groups.back();
    }
}


// Sibling order of one dependence: what the task must acquire when it starts and release when it
// completes. `waiting`: a task wait with dependences, which only acquires.
void order_dependence(dependence_t& state, ompt_dependence_type_t type, vector_t<std::uint64_t>& acquires,
                      vector_t<std::uint64_t>& releases, bool waiting, vector_t<std::uint64_t>& made) {
    auto fresh = [&] {
        made.push_back(take_sync_id());
        return made.back();
    };
    const bool joins_set = type == ompt_dependence_type_mutexinoutset || type == ompt_dependence_type_inoutset;
    if (state.set != 0 && (!joins_set || state.set_kind != static_cast<int>(type))) {
        // The set is complete: later tasks follow all of its members.
        state.writer = state.set;
        state.readers = 0;
        state.set = 0;
    }
    if (state.writer != 0) acquires.push_back(state.writer);
    if (type == ompt_dependence_type_in) {
        if (waiting) return;
        if (state.readers == 0) state.readers = fresh();
        releases.push_back(state.readers);
        return;
    }
    if (joins_set) {
        if (state.set == 0) {
            state.before_set[0] = state.writer;
            state.before_set[1] = state.readers;
            state.set = fresh();
            state.set_kind = type;
            state.set_lock = type == ompt_dependence_type_mutexinoutset ? fresh() : 0;
            state.readers = 0;
        }
        if (state.readers != 0) acquires.push_back(state.readers);
        if (state.before_set[1] != 0) acquires.push_back(state.before_set[1]);
        if (waiting) return;
        releases.push_back(state.set);
        if (state.set_lock != 0) {
            acquires.push_back(state.set_lock);
            releases.push_back(state.set_lock);
        }
        return;
    }
    // out, inout and anything else that writes
    if (state.readers != 0) acquires.push_back(state.readers);
    if (waiting) return;
    state.writer = fresh();
    state.readers = 0;
    releases.push_back(state.writer);
}

// A task wait with dependences announces what it waits for, but not when the wait is over: the
// runtime's entry for it is interposed, and the waiting task acquires once it returns.
thread_local openmp_task_t* pending_wait = nullptr;

void end_wait() {
    if (!watching()) return;
    openmp_task_t* wait = pending_wait;
    pending_wait = nullptr;
    if (wait == nullptr) return;
    for (std::uint64_t object : wait->acquires) acquire(openmp_sync_type, object, 0);
    heap_delete(wait);
}

void on_dependences(ompt_data_t* task_data, const ompt_dependence_t* dependences, int count) {
    if (!watching()) return;
    openmp_task_t* task = task_of(task_data);
    if (task == nullptr) return;
    // A task that already runs (or an implicit one) waits for its children's dependences.
    const bool waiting = task->implicit || task->started || task->waits;
    openmp_task_t* owner = task->implicit || task->started ? task : task->creator;
    if (owner == nullptr) return;
    vector_t<std::uint64_t> acquires;
    try {
        for (int index = 0; index < count; ++index) {
            const ompt_dependence_type_t type = dependences[index].dependence_type;
            if (type == ompt_dependence_type_source || type == ompt_dependence_type_sink) continue;
            const auto address = reinterpret_cast<std::uintptr_t>(dependences[index].variable.ptr);
            order_dependence(owner->dependences[address], type, waiting ? acquires : task->acquires, task->releases, waiting,
                             owner->dependence_objects);
        }
    } catch (...) {
    }
    if (task->waits) {
        task->acquires.swap(acquires);
        heap_delete(pending_wait);
        pending_wait = task;
    } else {
        for (std::uint64_t object : acquires) acquire(openmp_sync_type, object, 0);
    }
}

void complete(openmp_task_t* task) {
    release(task_end_sync_type, task->fork_id, 0);
    if (task->group != 0) release(openmp_sync_type, task->group, 0);
    for (std::uint64_t object : task->releases) release(openmp_sync_type, object, 0);
    // Every task of a team completes before the team's next barrier ends.
    if (task->team != nullptr) {
        const openmp_task_t* implicit = innermost_implicit_task();
        const std::uint64_t epoch = implicit != nullptr && implicit->team == task->team ? implicit->epoch : 0;
        release(openmp_sync_type, task->team->barriers[epoch & 1], 0);
    }
    forget_dead_frames(task->context);
    // The runtime hands the task's data block to later tasks: what this task and its creator did
    // there is over. Only they use it, and the runtime frees it only after this callback, so the
    // creator cannot be recording there meanwhile.
    void* block = nullptr;
    std::size_t size = 0;
    if (task->context != nullptr && get_task_memory != nullptr && get_task_memory(&block, &size, 0) != 0) {
        // The block given starts after the task's header (shareds, routine, part id and, with
        // destructors, one more word), which the compiled code writes too: an untied task's part
        // id, by its creator and by the task. Forgetting the runtime's own bytes before it is harmless.
        constexpr std::size_t header = 32;
        runtime.tsm.forget_range(nullptr, reinterpret_cast<std::uintptr_t>(block) - header, size + header, 0);
    }
    let_go(task->creator);
    task->creator = nullptr;
}

void start(openmp_task_t* task) {
    task->started = true;
    task->context = new_context(0);
    make_current(task->context);
    forget_dead_frames(task->context);
    // Nobody else takes the start object in: it goes at once, as every object a task ending must
    // erase its handle from costs that task's end some time.
    acquire(task_start_sync_type, task->fork_id, 0);
    destroy(task_start_sync_type, task->fork_id);
    for (std::uint64_t object : task->acquires) acquire(openmp_sync_type, object, 0);
    forget_reduction_blocks();
}

void on_task_schedule(ompt_data_t* prior_task_data, ompt_task_status_t prior_status, ompt_data_t* next_task_data) {
    if (!watching()) return;
    openmp_task_t* prior = task_of(prior_task_data);
    openmp_task_t* next = task_of(next_task_data);
    // The waiting task stays current; the wait is pending_wait's.
    if ((next != nullptr && next->waits) || (prior != nullptr && prior->waits)) return;
    std::uint64_t joined = 0;
    if (prior != nullptr && !prior->implicit &&
        (prior_status == ompt_task_complete || prior_status == ompt_task_cancel || prior_status == ompt_task_detach)) {
        complete(prior);
        // An undeferred task runs to completion before its creator goes on.
        if (prior->flags & ompt_task_undeferred) joined = prior->fork_id;
        prior_task_data->ptr = nullptr;
        keep(prior);
    }
    if (next == nullptr) make_current(nullptr);
    else if (!next->implicit && !next->started) start(next);
    else make_current(next->context);
    if (joined != 0) join_fork(joined, 0);
}

// ---- Locks, critical, ordered, atomic, flush ----

// The runtime reports a release after it gave the lock up, so the next holder could acquire before
// the release is recorded. Each wait object therefore has a flag of its own, taken in the acquired
// callback and given up in the released one: the callbacks follow each other as the holders do.
// The table only grows (a destroyed lock keeps its slot for the next one at that address); when it
// is full, the objects beyond it go without.
struct holder_slot_t {
    std::atomic<ompt_wait_id_t> wait_id{0};
    std::atomic<bool> held{false};
};
constexpr std::size_t holder_slots = 4096;
holder_slot_t holders[holder_slots];

std::atomic<bool>* holder_flag(ompt_wait_id_t wait_id) {
    if (wait_id == 0) return nullptr;
    for (std::size_t probe = 0, index = (wait_id >> 3) % holder_slots; probe < holder_slots;
         ++probe, index = (index + 1) % holder_slots) {
        ompt_wait_id_t seen = holders[index].wait_id.load(std::memory_order_acquire);
        if (seen == 0 && holders[index].wait_id.compare_exchange_strong(seen, wait_id)) return &holders[index].held;
        if (seen == wait_id) return &holders[index].held;
    }
    return nullptr;
}

void on_mutex_acquired(ompt_mutex_t, ompt_wait_id_t wait_id, const void* codeptr) {
    if (!watching()) return;
    if (std::atomic<bool>* held = holder_flag(wait_id)) {
        for (unsigned spins = 0; held->exchange(true, std::memory_order_acquire); ++spins) {
            if ((spins & 63) == 63) sched_yield();
        }
    }
    acquire(0, wait_id, site_of_code(codeptr));
}
void on_mutex_released(ompt_mutex_t, ompt_wait_id_t wait_id, const void* codeptr) {
    if (watching()) release(0, wait_id, site_of_code(codeptr));
    if (std::atomic<bool>* held = holder_flag(wait_id)) held->store(false, std::memory_order_release);
}
void on_lock_destroy(ompt_mutex_t, ompt_wait_id_t wait_id, const void*) {
    if (watching()) destroy(0, wait_id);
}

// Flushes are totally ordered among themselves.
void on_flush(ompt_data_t*, const void* codeptr) {
    if (!watching()) return;
    release(openmp_sync_type, flush_object, site_of_code(codeptr));
    acquire(openmp_sync_type, flush_object, site_of_code(codeptr));
}

// ---- The runtime's task waits with dependences (clang's entry, and gcc's) ----

template <class F>
F next_definition(std::atomic<void*>& slot, const char* name) {
    void* function = slot.load(std::memory_order_acquire);
    if (function == nullptr) {
        function = dlsym(RTLD_NEXT, name);
        slot.store(function, std::memory_order_release);
    }
    return reinterpret_cast<F>(function);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void __kmpc_omp_wait_deps(void* location, std::int32_t thread,
                                                                             std::int32_t count, void* dependences,
                                                                             std::int32_t noalias_count,
                                                                             void* noalias_dependences) {
    using wait_t = void (*)(void*, std::int32_t, std::int32_t, void*, std::int32_t, void*);
    static std::atomic<void*> slot{nullptr};
    if (auto real = next_definition<wait_t>(slot, "__kmpc_omp_wait_deps"))
        real(location, thread, count, dependences, noalias_count, noalias_dependences);
    end_wait();
}

extern "C" __attribute__((visibility("default"))) void GOMP_taskwait_depend(void** dependences) {
    static std::atomic<void*> slot{nullptr};
    if (auto real = next_definition<void (*)(void**)>(slot, "GOMP_taskwait_depend")) real(dependences);
    end_wait();
}

// The entries that set up task reductions (clang's and gcc's), interposed to count the blocks the
// runtime allocates meanwhile as reduction blocks (frontend.h).
template <class Result, class... Parameters>
Result setting_up_reductions(std::atomic<void*>& slot, const char* name, Parameters... arguments) {
    auto real = next_definition<Result (*)(Parameters...)>(slot, name);
    ++collecting_reduction_blocks;
    struct done_t {
        ~done_t() { --collecting_reduction_blocks; }
    } done;
    return real(arguments...);
}

#define TAVO_REDUCTION_SETUP(result, name, parameters, ...)                                     \
    extern "C" __attribute__((visibility("default"))) result name parameters {                  \
        static std::atomic<void*> slot{nullptr};                                                \
        return setting_up_reductions<result>(slot, #name, __VA_ARGS__);                         \
    }
TAVO_REDUCTION_SETUP(void*, __kmpc_taskred_init, (int thread, int count, void* data), thread, count, data)
TAVO_REDUCTION_SETUP(void*, __kmpc_task_reduction_init, (int thread, int count, void* data), thread, count, data)
TAVO_REDUCTION_SETUP(void*, __kmpc_taskred_modifier_init, (void* location, int thread, int worksharing, int count, void* data),
                     location, thread, worksharing, count, data)
TAVO_REDUCTION_SETUP(void*, __kmpc_task_reduction_modifier_init,
                     (void* location, int thread, int worksharing, int count, void* data), location, thread, worksharing,
                     count, data)
TAVO_REDUCTION_SETUP(void*, __kmpc_task_reduction_get_th_data, (int thread, void* group, void* item), thread, group, item)
TAVO_REDUCTION_SETUP(void, GOMP_taskgroup_reduction_register, (std::uintptr_t* data), data)
TAVO_REDUCTION_SETUP(void, GOMP_taskloop,
                     (void (*function)(void*), void* data, void (*copy)(void*, void*), long size, long alignment,
                      unsigned flags, unsigned long tasks, int priority, long start, long end, long step),
                     function, data, copy, size, alignment, flags, tasks, priority, start, end, step)
TAVO_REDUCTION_SETUP(void, GOMP_taskloop_ull,
                     (void (*function)(void*), void* data, void (*copy)(void*, void*), long size, long alignment,
                      unsigned flags, unsigned long tasks, int priority, bool up, unsigned long long start,
                      unsigned long long end, unsigned long long step),
                     function, data, copy, size, alignment, flags, tasks, priority, up, start, end, step)

// gcc's target regions: LLVM's runtime has no entry for them, and no device here, so they run on
// the host in the encountering task, as gcc's own runtime runs them without a device: each
// firstprivate (map kind 12) gets a copy of its own.
extern "C" __attribute__((visibility("default"))) void GOMP_target_ext(int, void (*function)(void*), std::size_t count,
                                                                      void** addresses, std::size_t* sizes,
                                                                      unsigned short* kinds, unsigned int,
                                                                      void** dependences, void**) {
    constexpr unsigned short firstprivate = 12;
    if (dependences != nullptr) GOMP_taskwait_depend(dependences);
    std::size_t private_bytes = 0;
    for (std::size_t index = 0; index < count; ++index)
        if ((kinds[index] & 0xff) == firstprivate) private_bytes += (sizes[index] + 15) & ~std::size_t{15};
    void** local = static_cast<void**>(std::malloc(count * sizeof(void*) + private_bytes + 16));
    if (local == nullptr) return function(addresses);
    char* copies = reinterpret_cast<char*>(((reinterpret_cast<std::uintptr_t>(local + count)) + 15) & ~std::uintptr_t{15});
    for (std::size_t index = 0; index < count; ++index) {
        local[index] = addresses[index];
        if ((kinds[index] & 0xff) != firstprivate) continue;
        std::memcpy(copies, addresses[index], sizes[index]);
        local[index] = copies;
        copies += (sizes[index] + 15) & ~std::size_t{15};
    }
    function(local);
    std::free(local);
}

namespace {

// ---- Start-up ----

int initialize(ompt_function_lookup_t lookup, int, ompt_data_t*) {
    auto set_callback = reinterpret_cast<ompt_set_callback_t>(lookup("ompt_set_callback"));
    get_task_memory = reinterpret_cast<ompt_get_task_memory_t>(lookup("ompt_get_task_memory"));
    if (set_callback == nullptr) return 0;
    flush_object = take_sync_id();
    std::atexit(close_at_exit);
    auto set = [&](ompt_callbacks_t event, auto callback) {
        set_callback(event, reinterpret_cast<ompt_callback_t>(callback));
    };
    set(ompt_callback_parallel_begin, &on_parallel_begin);
    set(ompt_callback_parallel_end, &on_parallel_end);
    set(ompt_callback_implicit_task, &on_implicit_task);
    set(ompt_callback_sync_region, &on_sync_region);
    set(ompt_callback_reduction, &on_sync_region);
    set(ompt_callback_sync_region_wait, &on_sync_region_wait);
    set(ompt_callback_task_create, &on_task_create);
    set(ompt_callback_task_schedule, &on_task_schedule);
    set(ompt_callback_dependences, &on_dependences);
    set(ompt_callback_mutex_acquired, &on_mutex_acquired);
    set(ompt_callback_mutex_released, &on_mutex_released);
    set(ompt_callback_lock_destroy, &on_lock_destroy);
    set(ompt_callback_flush, &on_flush);
    return 1;
}

void finalize(ompt_data_t*) { close_at_exit(); }

// The loaded object that holds `address`, or else the one whose file is named `name`, becomes the
// runtime's code: the range its segments span.
void find_runtime(const void* address, const char* name) {
    struct search_t {
        std::uintptr_t address;
        const char* name;
        std::uintptr_t begin, end;
    } search{reinterpret_cast<std::uintptr_t>(address), name, 0, 0};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto& wanted = *static_cast<search_t*>(data);
            std::uintptr_t begin = UINTPTR_MAX, end = 0;
            for (int index = 0; index < info->dlpi_phnum; ++index) {
                const ElfW(Phdr)& header = info->dlpi_phdr[index];
                if (header.p_type != PT_LOAD) continue;
                begin = std::min<std::uintptr_t>(begin, info->dlpi_addr + header.p_vaddr);
                end = std::max<std::uintptr_t>(end, info->dlpi_addr + header.p_vaddr + header.p_memsz);
            }
            const bool named = wanted.name != nullptr && info->dlpi_name != nullptr && std::strstr(info->dlpi_name, wanted.name) != nullptr;
            if (!named && (wanted.address < begin || wanted.address >= end)) return 0;
            wanted.begin = begin;
            wanted.end = end;
            return 1;
        },
        &search);
    if (search.end == 0) return;
    openmp_code_begin.store(search.begin);
    openmp_code_end.store(search.end);
}

// The runtime initialises itself (its locks, its threads) before it starts the tool: its code is
// known from the library's load on when the program was linked with it.
__attribute__((constructor)) void find_linked_runtime() { find_runtime(nullptr, "/libomp.so"); }

}  // namespace

extern "C" __attribute__((visibility("default"))) ompt_start_tool_result_t* ompt_start_tool(unsigned int, const char*) {
    static ompt_start_tool_result_t result{&initialize, &finalize, {0}};
    find_runtime(__builtin_return_address(0), nullptr);
    return &result;
}
