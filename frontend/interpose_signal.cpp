// Signal handlers of the program. Each handler is installed with the system through one wrapper of
// ours, which runs it at once, unless the thread was interrupted inside the library: then an
// asynchronous signal waits, with what the system said of it, until the thread leaves (the
// inside_library_t that holds it there delivers it). A handler runs on the thread it interrupted,
// so its accesses are that thread's, ordered with the thread's own before and after; every run of a
// handler is also ordered after the sigaction that installed it, as the system orders them.
#include <errno.h>
#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>

#include "frontend/frontend.h"
#include "frontend/real_function.h"
#include "runtime/spin_lock.h"

using namespace tavo;
using namespace tavo::frontend;

#define TAVO_FRONT extern "C" __attribute__((visibility("default")))
#define CALLER site_of(__builtin_return_address(0))
#define TAVO_TLS thread_local __attribute__((tls_model("initial-exec")))

namespace {

constexpr int signal_limit = 65;  // signals 1 to 64

// The program's own action for each signal, while the wrapper stands in for it. Written under the
// lock with every signal blocked, so that no handler on the writing thread can wait for the lock;
// read by the wrapper without it (an action being replaced meanwhile is the program's own race).
struct action_t {
    std::atomic<void*> handler{nullptr};
    std::atomic<int> flags{0};
    sigset_t mask{};
};
action_t actions[signal_limit];
std::uint8_t actions_lock = 0;

// What arrived while the thread was inside the library: each signal's information, and the context
// of the latest interruption, handed to every handler run late (its registers lie in the library).
TAVO_TLS siginfo_t deferred_info[signal_limit - 1];
TAVO_TLS ucontext_t deferred_context;

using action_function_t = int (*)(int, const struct sigaction*, struct sigaction*);
action_function_t real_sigaction() noexcept {
    static std::atomic<void*> slot{nullptr};
    return real<action_function_t>(slot, "sigaction");
}

// Faults of the interrupted instruction: deferred, they would return to it and fault again.
bool synchronous(int number) noexcept {
    return number == SIGSEGV || number == SIGBUS || number == SIGFPE || number == SIGILL || number == SIGTRAP;
}

// A copied context keeps its floating-point state in itself, not in the signal frame it came from.
void copy_context(ucontext_t& target, const ucontext_t& source) noexcept {
    std::memcpy(&target, &source, sizeof target);
    if (source.uc_mcontext.fpregs != nullptr) {
        std::memcpy(&target.__fpregs_mem, source.uc_mcontext.fpregs, sizeof target.__fpregs_mem);
        target.uc_mcontext.fpregs = &target.__fpregs_mem;
    }
}

void run_handler(int number, siginfo_t* info, void* context) noexcept {
    const int error = errno;
    sync_on_address(&actions[number], memory_order::acquire, 0);
    void* const handler = actions[number].handler.load(std::memory_order_relaxed);
    const int flags = actions[number].flags.load(std::memory_order_relaxed);
    errno = error;
    // Another thread made it ignored or default after the system chose the wrapper: as the system
    // would now, the signal is dropped or raised again to take its default action.
    if (handler == reinterpret_cast<void*>(SIG_IGN)) return;
    if (handler == reinterpret_cast<void*>(SIG_DFL)) {
        raise(number);
        errno = error;
        return;
    }
    if ((flags & SA_SIGINFO) != 0) reinterpret_cast<void (*)(int, siginfo_t*, void*)>(handler)(number, info, context);
    else reinterpret_cast<void (*)(int)>(handler)(number);
}

// Outside the library, whether the thread is in the quick part of a plain access (frontend.h).
bool in_quick_part() noexcept {
    const task_context_t* task = thread_words.record.current_task;
    return task != nullptr && task->shadow != nullptr &&
           std::atomic_ref<void*>(task->shadow->busy).load(std::memory_order_relaxed) != nullptr;
}

void wrapper(int number, siginfo_t* info, void* context) {
    if ((thread_words.library_depth == 0 && !in_quick_part()) || synchronous(number) || number >= signal_limit) {
        // A quick part notes its call site before its task turns busy, for its rest to read.
        const std::uint64_t site = thread_words.record.last_site;
        run_handler(number, info, context);
        thread_words.record.last_site = site;
        return;
    }
    // One pending instance per signal, as the system keeps them for ordinary signals.
    deferred_info[number - 1] = *info;
    if (context != nullptr) copy_context(deferred_context, *static_cast<const ucontext_t*>(context));
    thread_words.deferred_signals |= std::uint64_t{1} << (number - 1);
}

// The previous action as the system answered it, with the program's handler for the wrapper.
void answer_previous(struct sigaction* previous, void* handler, int flags) noexcept {
    if (previous == nullptr || previous->sa_sigaction != wrapper) return;
    previous->sa_sigaction = reinterpret_cast<void (*)(int, siginfo_t*, void*)>(handler);
    if ((flags & SA_SIGINFO) == 0) previous->sa_flags &= ~SA_SIGINFO;
}

class signals_blocked_t {
public:
    signals_blocked_t() noexcept {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    ~signals_blocked_t() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    signals_blocked_t(const signals_blocked_t&) = delete;
    signals_blocked_t& operator=(const signals_blocked_t&) = delete;

private:
    sigset_t previous_;
};

int change_action(int number, const struct sigaction* action, struct sigaction* previous, std::uint64_t site) noexcept {
    if (number < 1 || number >= signal_limit || unwatched_child) return real_sigaction()(number, action, previous);
    const int error = errno;
    action_t& entry = actions[number];
    // Read before the call: the previous action may be written over the new one.
    struct sigaction requested {}, installed {};
    const bool wrapped = action != nullptr && action->sa_handler != SIG_DFL && action->sa_handler != SIG_IGN;
    if (action != nullptr) {
        installed = requested = *action;
        if (wrapped) {
            installed.sa_sigaction = wrapper;
            installed.sa_flags |= SA_SIGINFO;
            // What the installer did so far is ordered before every run of the handler.
            sync_on_address(&entry, memory_order::release, site);
        }
    }
    signals_blocked_t blocked;
    spin_guard_t guard(actions_lock);
    void* const handler = entry.handler.load(std::memory_order_relaxed);
    const int flags = entry.flags.load(std::memory_order_relaxed);
    const int status = real_sigaction()(number, action != nullptr ? &installed : nullptr, previous);
    if (status == 0 && action != nullptr) {
        entry.handler.store(reinterpret_cast<void*>(requested.sa_sigaction), std::memory_order_relaxed);
        entry.flags.store(requested.sa_flags, std::memory_order_relaxed);
        entry.mask = requested.sa_mask;
    }
    if (status == 0) {
        answer_previous(previous, handler, flags);
        errno = error;
    }
    return status;
}

// The old interfaces, as the C library builds them on sigaction. SIG_HOLD comes from sigset alone.
sighandler_t install(int number, sighandler_t handler, int flags, bool mask_itself, std::uint64_t site) noexcept {
    if (handler == SIG_ERR) {
        errno = EINVAL;
        return SIG_ERR;
    }
    struct sigaction action {}, previous {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    if (mask_itself && number >= 1 && number < signal_limit) sigaddset(&action.sa_mask, number);
    action.sa_flags = flags;
    return change_action(number, &action, &previous, site) == 0 ? previous.sa_handler : SIG_ERR;
}

}  // namespace

void tavo::frontend::deliver_deferred_signals() noexcept {
    if (thread_words.library_depth != 0) return;
    int error = errno;
    while (thread_words.deferred_signals != 0) {
        // At depth 0 the wrapper runs handlers at once and leaves the set alone.
        const int number = __builtin_ctzll(thread_words.deferred_signals) + 1;
        thread_words.deferred_signals &= ~(std::uint64_t{1} << (number - 1));
        siginfo_t info = deferred_info[number - 1];
        ucontext_t context;
        copy_context(context, deferred_context);
        // Blocked while it runs, as the system blocks them: the action's mask and, unless
        // SA_NODEFER, the signal itself. A handler that jumps out leaves them blocked, as it would.
        sigset_t blocked = actions[number].mask, previous;
        if ((actions[number].flags.load(std::memory_order_relaxed) & SA_NODEFER) == 0) sigaddset(&blocked, number);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous);
        errno = error;
        run_handler(number, &info, &context);
        error = errno;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    errno = error;
}

TAVO_FRONT int sigaction(int number, const struct sigaction* action, struct sigaction* previous) {
    return change_action(number, action, previous, CALLER);
}

// signal and its BSD names restart interrupted calls and block the signal in its handler; the
// System V one resets the action to the default as it runs, blocking nothing.
TAVO_FRONT sighandler_t signal(int number, sighandler_t handler) { return install(number, handler, SA_RESTART, true, CALLER); }
TAVO_FRONT sighandler_t bsd_signal(int number, sighandler_t handler) { return install(number, handler, SA_RESTART, true, CALLER); }
TAVO_FRONT sighandler_t ssignal(int number, sighandler_t handler) { return install(number, handler, SA_RESTART, true, CALLER); }
TAVO_FRONT sighandler_t sysv_signal(int number, sighandler_t handler) {
    return install(number, handler, SA_RESETHAND | SA_NODEFER, false, CALLER);
}

// System V's sigset: SIG_HOLD blocks the signal, anything else installs it and unblocks it; the
// answer is SIG_HOLD when it was blocked before.
TAVO_FRONT sighandler_t sigset(int number, sighandler_t handler) {
    sigset_t only, before;
    sigemptyset(&only);
    if (number < 1 || number >= signal_limit || handler == SIG_ERR || sigaddset(&only, number) != 0) {
        errno = EINVAL;
        return SIG_ERR;
    }
    if (handler == SIG_HOLD) {
        struct sigaction current {};
        if (sigprocmask(SIG_BLOCK, &only, &before) != 0) return SIG_ERR;
        if (sigismember(&before, number)) return SIG_HOLD;
        return change_action(number, nullptr, &current, CALLER) == 0 ? current.sa_handler : SIG_ERR;
    }
    const sighandler_t previous = install(number, handler, 0, false, CALLER);
    if (previous == SIG_ERR || sigprocmask(SIG_UNBLOCK, &only, &before) != 0) return SIG_ERR;
    return sigismember(&before, number) ? SIG_HOLD : previous;
}

// Jumps out of instrumented frames (a handler's siglongjmp above all) skip their exit hooks: the
// frames they leave are dropped before the jump, or reports would show them under the accesses
// made next. The C library keeps the target's stack pointer mangled with the thread's pointer guard.
#if defined(__x86_64__) && defined(__GLIBC__)
extern "C" void __longjmp_chk(struct __jmp_buf_tag buffer[1], int value) noexcept __attribute__((noreturn));

namespace {
using jump_t = void (*)(struct __jmp_buf_tag*, int);

[[noreturn]] void jump(std::atomic<void*>& real, const char* name, struct __jmp_buf_tag* buffer, int value) noexcept {
    if (ready.load(std::memory_order_relaxed)) {
        std::uintptr_t guard;
        __asm__("mov %%fs:0x30, %0" : "=r"(guard));
        frames_jumped_over(std::rotr(static_cast<std::uintptr_t>(buffer->__jmpbuf[6]), 0x11) ^ guard);
    }
    tavo::frontend::real<jump_t>(real, name)(buffer, value);
    __builtin_unreachable();
}

std::atomic<void*> real_longjmp, real_private_longjmp, real_siglongjmp, real_checked_longjmp;
}  // namespace

TAVO_FRONT void longjmp(struct __jmp_buf_tag buffer[1], int value) noexcept { jump(real_longjmp, "longjmp", buffer, value); }
TAVO_FRONT void _longjmp(struct __jmp_buf_tag buffer[1], int value) noexcept { jump(real_private_longjmp, "_longjmp", buffer, value); }
TAVO_FRONT void siglongjmp(struct __jmp_buf_tag buffer[1], int value) noexcept { jump(real_siglongjmp, "siglongjmp", buffer, value); }
TAVO_FRONT void __longjmp_chk(struct __jmp_buf_tag buffer[1], int value) noexcept { jump(real_checked_longjmp, "__longjmp_chk", buffer, value); }
#endif
