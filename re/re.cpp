#include "re/re.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "filter/filter_object.h"
#include "runtime/errors.h"
#include "runtime/runtime.h"
#include "runtime/spin_lock.h"
#include "task/task_context.h"
#include "task/thread_record.h"

namespace tavo {

namespace {

constexpr unsigned char jump_rel32 = 0xE9;

// The newest entries whose frames lie below `frame`: those calls returned without a leave.
std::size_t returned_without_leave(const re_t::call_stack_t& stack, std::uint64_t frame) {
    std::size_t count = 0;
    for (auto entry = stack.rbegin(); entry != stack.rend() && entry->frame < frame; ++entry) ++count;
    return count;
}

bool inside(const re_t::call_stack_t& stack, std::uint64_t function) {
    return std::any_of(stack.begin(), stack.end(), [&](const call_entry_t& entry) { return entry.function == function; });
}

tavo_offense_t offense_of(task_key_t task) { return {static_cast<std::uint32_t>(task.type), 0, task.id}; }

// The re lock is released by now: the report takes the runtime lock.
void report_out_of_memory() { raise_system_error_at_thread_site(error::out_of_memory); }

}  // namespace

std::uint64_t resolve_jump_stub(std::uint64_t function) noexcept {
    if (function == 0) return 0;
    const auto* code = reinterpret_cast<const unsigned char*>(function);
    if (code[0] != jump_rel32) return function;
    std::int32_t displacement;
    std::memcpy(&displacement, code + 1, sizeof displacement);
    return function + 5 + static_cast<std::uint64_t>(static_cast<std::int64_t>(displacement));
}

void re_t::reset() noexcept {
    // The stacks are freed outside the lock; swapping allocates nothing.
    decltype(call_stacks_) dropped;
    {
        spin_guard_t guard(lock);
        dropped.swap(call_stacks_);
    }
}

void re_t::forget_task(task_context_t& task) noexcept {
    decltype(call_stacks_)::node_type dropped;
    {
        spin_guard_t guard(lock);
        dropped = call_stacks_.extract(task_key_t{task.type, task.id});
    }
}

void re_t::enter(task_key_t task, std::uint64_t function, std::uint64_t frame) noexcept {
    bool recorded = true;
    {
        spin_guard_t guard(lock);
        try {
            call_stack_t& stack = call_stacks_[task];
            // The new entry takes the slot of the oldest returned call, so only a push with nothing
            // to trim can need memory, and a failed push leaves the stack as it was.
            const std::size_t returned = returned_without_leave(stack, frame);
            if (returned == 0) {
                stack.push_back({function, frame});
            } else {
                stack[stack.size() - returned] = {function, frame};
                for (std::size_t extra = 1; extra < returned; ++extra) stack.pop_back();
            }
        } catch (const std::bad_alloc&) {
            recorded = false;
        }
    }
    if (!recorded) report_out_of_memory();
    // The check reads only other tasks' stacks, so it still holds without this entry.
    check(task, function);
}

void re_t::leave(task_key_t task, std::uint64_t function, std::uint64_t frame) noexcept {
    spin_guard_t guard(lock);
    // A task without a stack has nothing to remove; an empty one would change nothing.
    const auto found = call_stacks_.find(task);
    if (found == call_stacks_.end()) return;
    call_stack_t& stack = found->second;
    while (!stack.empty() && stack.back().frame < frame) stack.pop_back();
    // Other functions at this frame were left without a leave (an exception or a long jump).
    while (!stack.empty() && stack.back().function != function && stack.back().frame <= frame) stack.pop_back();
    if (!stack.empty() && stack.back().function == function) stack.pop_back();
}

void re_t::check(task_key_t task, std::uint64_t function) noexcept {
    const filter_object_t* watched = filter.load(std::memory_order_acquire);
    if (watched != nullptr && !code_watched(*watched, function)) return;

    vector_t<tavo_offense_t> offenses;
    try {
        {
            spin_guard_t guard(lock);
            for (const auto& [other, stack] : call_stacks_) {
                if (other != task && inside(stack, function)) offenses.push_back(offense_of(other));
            }
        }
        if (offenses.empty()) return;
        offenses.push_back(offense_of(task));
    } catch (const std::bad_alloc&) {
        return report_out_of_memory();
    }

    // The record exists (the entry frame made it); it is obtained before the runtime lock all the same.
    const thread_record_t* record = obtain_thread_record();
    const std::uint64_t site = record != nullptr ? record->last_site : 0;
    runtime_lock_guard_t guard;
    tavo_reentrancy_detection_t& detection = __tavo_current_detection.reentrancy;
    detection.function = function;
    detection.offense_count = offenses.size();
    detection.offenses = offenses.data();
    runtime->report(TAVO_EVENT_REENTRANT_CALL, site);
}

std::vector<call_entry_t> re_t::call_stack(task_key_t task) {
    spin_guard_t guard(lock);
    const auto found = call_stacks_.find(task);
    if (found == call_stacks_.end()) return {};
    return {found->second.begin(), found->second.end()};
}

std::size_t re_t::call_stack_count() noexcept {
    spin_guard_t guard(lock);
    return call_stacks_.size();
}

}  // namespace tavo
