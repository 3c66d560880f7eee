#include "differential.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

// Stub k (one per op and variant, 16 bytes apart) calls the entry whose address is its fifth
// argument with the first four; the library records the return address, tavo_stub_site + 16 k.
asm(".text\n.globl tavo_stubs\n.globl tavo_stub_site\n.balign 16\ntavo_stubs:\n"
    "  subq $8, %rsp\n  call *%r8\ntavo_stub_site:\n  addq $8, %rsp\n  ret\n.balign 16\n"
    ".rept 127\n  subq $8, %rsp\n  call *%r8\n  addq $8, %rsp\n  ret\n.balign 16\n.endr\n");
extern "C" char tavo_stubs[], tavo_stub_site[];

namespace differential {

namespace {

using entry_t = std::uintptr_t;
#define TAVO_ENTRY(name) reinterpret_cast<entry_t>(&name)
const entry_t entries[] = {
    TAVO_ENTRY(_TAVO_readMemory), TAVO_ENTRY(_TAVO_writeMemory), TAVO_ENTRY(_TAVO_updateMemory), TAVO_ENTRY(_TAVO_atomicUpdate),
    TAVO_ENTRY(_TAVO_enterFunction), TAVO_ENTRY(_TAVO_leaveFunction),
    TAVO_ENTRY(_TAVO_enterGenericTaskFrom), TAVO_ENTRY(_TAVO_leaveGenericTaskFrom),
    TAVO_ENTRY(_TAVO_enterGenericTask), TAVO_ENTRY(_TAVO_leaveGenericTask), TAVO_ENTRY(_TAVO_activateTaskType),
    TAVO_ENTRY(_TAVO_syncAcquire), TAVO_ENTRY(_TAVO_syncRelease), TAVO_ENTRY(_TAVO_syncAcquireWeak),
    TAVO_ENTRY(_TAVO_syncReleaseWeak), TAVO_ENTRY(_TAVO_syncDestroy),
    TAVO_ENTRY(__zuk_sync_acquired), TAVO_ENTRY(__zuk_sync_releasing), TAVO_ENTRY(__zuk_sync_destroy),
    TAVO_ENTRY(_TAVO_syncAlias), TAVO_ENTRY(_TAVO_syncAllocate), TAVO_ENTRY(_TAVO_syncForkTask),
    TAVO_ENTRY(_TAVO_syncForkTaskCurrent), TAVO_ENTRY(_TAVO_syncForkTaskNowait), TAVO_ENTRY(_TAVO_syncJoin),
    TAVO_ENTRY(_TAVO_syncTaskwait), TAVO_ENTRY(_TAVO_syncTaskwaitCurrent), TAVO_ENTRY(_TAVO_warn), TAVO_ENTRY(_TAVO_warnFrom),
};
static_assert(std::size(entries) == static_cast<std::size_t>(op_t::debugger));

const char* const names[] = {
    "read", "write", "update", "atomic", "enter_function", "leave_function", "enter_task", "leave_task",
    "enter_task_plain", "leave_task_plain", "activate", "acquire", "release", "acquire_weak", "release_weak",
    "destroy", "notify_acquired", "notify_releasing", "notify_destroy", "alias", "allocate", "fork",
    "fork_current", "fork_nowait", "join", "taskwait", "taskwait_current", "warn", "warn_from", "debugger", "thread_exit"};
static_assert(std::size(names) == op_count);
constexpr int arity[] = {2, 2, 2, 2, 2, 2, 3, 3, 2, 2, 1, 2, 2, 2, 2, 2, 1, 1, 1, 4, 0, 2, 0, 0, 1, 2, 0, 1, 2, 0, 0};
static_assert(std::size(arity) == op_count);

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

}  // namespace

int stream_t::thread_count() const {
    int count = 0;
    for (const event_t& event : events) {
        if (event.op != op_t::debugger) count = std::max(count, event.thread + 1);
    }
    return count;
}

std::uint64_t stub_site(op_t op, int variant) {
    return reinterpret_cast<std::uintptr_t>(tavo_stub_site) + 16u * static_cast<unsigned>(static_cast<int>(op) * access_variants + variant);
}

std::uint64_t call_entry(const event_t& event, std::uint64_t task_id) {
    std::uint64_t arg[4] = {event.arg[0], event.id_is_thread ? task_id : event.arg[1], event.arg[2], event.arg[3]};
    if (event.op == op_t::enter_function || event.op == op_t::leave_function) arg[0] += reinterpret_cast<std::uintptr_t>(functions);
    using stub_t = std::uint64_t (*)(std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, entry_t);
    const auto call = reinterpret_cast<stub_t>(stub(static_cast<int>(event.op) * access_variants + event.variant));
    return call(arg[0], arg[1], arg[2], arg[3], entries[static_cast<int>(event.op)]);
}

const std::uint8_t* function_table() { return functions; }

debugger_action_t action_at(const event_t& event, std::size_t ordinal) {
    if (event.op == op_t::debugger) return {};
    if (ordinal < event.at_stops.size()) return event.at_stops[ordinal];
    debugger_action_t cleanup;
    if (ordinal >= event.at_stops.size() + 16) {
        cleanup.clear_request = ~0u;
        cleanup.write_version = true;
    }
    return cleanup;
}

void apply_action(const debugger_action_t& action, tavo_config_t& config, tavo_filter_record_t* buffer, std::uint32_t capacity) {
    config.request = (config.request & ~action.clear_request) | action.set_request;
    if (action.write_flags) config.flags = action.flags;
    if (action.write_version) config.version = action.version;
    if (action.write_count) config.filter_count = action.count;
    for (std::size_t index = 0; index < action.records.size() && index < capacity && buffer != nullptr; ++index) {
        const filter_plan_t& plan = action.records[index];
        std::uint64_t first = plan.first;
        if (plan.base >= 0) first += stub(plan.base) + (tavo_stub_site - tavo_stubs);
        if (plan.base == filter_plan_t::function_table_base) first += reinterpret_cast<std::uintptr_t>(functions);
        buffer[index] = {plan.feature, 0, plan.target, plan.operation, {}, first, plan.second};
    }
}

void complete(stream_t& stream) {
    const int threads = stream.thread_count();
    for (int thread = 0; thread < threads; ++thread) {
        if (std::none_of(stream.events.begin(), stream.events.end(), [&](const event_t& e) { return e.op == op_t::thread_exit && e.thread == thread; })) {
            event_t exit;
            exit.op = op_t::thread_exit;
            exit.thread = static_cast<std::uint8_t>(thread);
            stream.events.push_back(exit);
        }
    }
}

std::string describe(const stop_t& stop) {
    std::ostringstream text;
    text << "event " << stop.event << " reason " << stop.reason << " site " << number(stop.site) << " block {"
         << stop.config.version << ", " << number(stop.config.request) << ", " << number(stop.config.flags) << ", "
         << stop.config.filter_count << "} mask " << number(stop.active_mask);
    auto access = [&](const tavo_access_t& a) {
        text << " (" << a.access_type << ", " << a.size << ", " << number(a.address) << ", " << a.task_type << "."
             << number(a.task_id) << " @ " << number(a.code_address) << (a.padding ? ", padding" : "") << ")";
    };
    if (stop.reason == TAVO_EVENT_DATA_SHARING) {
        access(stop.offending);
        text << " offends";
        for (const tavo_access_t& a : stop.offended) access(a);
    }
    if (stop.reason == TAVO_EVENT_REENTRANT_CALL) {
        text << " function " << number(stop.function) << " offenses";
        for (const tavo_offense_t& o : stop.offenses) text << " (" << o.task_type << "." << number(o.task_id) << ")";
    }
    return text.str();
}

std::int32_t reason_of(const std::string& stop) { return std::stoi(stop.substr(stop.find(" reason ") + 8)); }

std::string to_text(const stream_t& stream) {
    std::ostringstream text;
    for (const event_t& e : stream.events) {
        text << names[static_cast<int>(e.op)] << " t" << int{e.thread};
        if (e.variant != 0) text << " v" << int{e.variant};
        for (int index = 0; index < arity[static_cast<int>(e.op)]; ++index)
            text << " " << (index == 1 && e.id_is_thread ? "T" + std::to_string(e.arg[1]) : number(e.arg[index]));
        for (const debugger_action_t& a : e.at_stops) {
            text << " |";
            if (a.set_request) text << " set=" << number(a.set_request);
            if (a.clear_request) text << " clear=" << number(a.clear_request);
            if (a.write_flags) text << " flags=" << number(a.flags);
            if (a.write_version) text << " version=" << a.version;
            if (a.write_count) text << " count=" << a.count;
            for (const filter_plan_t& r : a.records)
                text << " record=" << int{r.feature} << "," << int{r.target} << "," << int{r.operation} << ","
                     << number(r.first) << "," << number(r.second) << "," << r.base;
        }
        text << "\n";
    }
    return text.str();
}

stream_t parse(const std::string& text) {
    stream_t stream;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word)) continue;
        event_t& e = stream.events.emplace_back();
        e.op = static_cast<op_t>(std::find(std::begin(names), std::end(names), word) - std::begin(names));
        debugger_action_t* a = nullptr;
        for (int index = 0; words >> word;) {
            const auto value = [&](std::size_t at) { return std::strtoull(word.c_str() + at, nullptr, 0); };
            const auto is = [&](const char* key) { return word.rfind(key, 0) == 0; };
            if (word == "|") a = &e.at_stops.emplace_back();
            else if (a == nullptr && word[0] == 't') e.thread = static_cast<std::uint8_t>(value(1));
            else if (a == nullptr && word[0] == 'v') e.variant = static_cast<std::uint8_t>(value(1));
            else if (a == nullptr && word[0] == 'T') e.id_is_thread = true, e.arg[index++] = value(1);
            else if (a == nullptr) e.arg[index++] = value(0);
            else if (is("set=")) a->set_request = static_cast<std::uint32_t>(value(4));
            else if (is("clear=")) a->clear_request = static_cast<std::uint32_t>(value(6));
            else if (is("flags=")) a->write_flags = true, a->flags = static_cast<std::uint32_t>(value(6));
            else if (is("version=")) a->write_version = true, a->version = static_cast<std::uint32_t>(value(8));
            else if (is("count=")) a->write_count = true, a->count = static_cast<std::uint32_t>(value(6));
            else if (is("record=")) {
                std::uint64_t f[6];
                char* at = word.data() + 7;
                for (std::uint64_t& field : f) field = std::strtoull(at, &at, 0), at += *at == ',';
                a->records.push_back({static_cast<std::uint8_t>(f[0]), static_cast<std::uint8_t>(f[1]),
                                      static_cast<std::uint8_t>(f[2]), f[3], f[4], static_cast<std::int32_t>(f[5])});
            }
        }
    }
    return stream;
}

}  // namespace differential
