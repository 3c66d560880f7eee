// Alone in its file so that a program linking the static core can define its own stop.
//
// The stop raises the exception code with no flags and no arguments. A debugger sees the raise
// first; when none consumes it, the frame handler of tavo_guarded_raise continues execution
// right after the raise, so the stop returns. mingw has no __try, so the guarded region is a
// hand-written frame whose unwind data names the handler.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// <excpt.h> maps this name to an intrinsic of compilers that have __try; ours is the runtime's word.
#undef exception_code

#include "runtime/runtime.h"
#include "tavo/tavo.h"

// Continues only the library's own raise, and never an unwind: any other exception that arises
// while ours is dispatched (in a vectored handler, say) is not ours to swallow.
extern "C" __attribute__((used)) EXCEPTION_DISPOSITION tavo_raise_guard_handler(EXCEPTION_RECORD* record, void*,
                                                                                CONTEXT*, void*) {
    const bool unwinding = (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0;
    return record->ExceptionCode == tavo::exception_code && !unwinding ? ExceptionContinueExecution
                                                                       : ExceptionContinueSearch;
}

// void tavo_guarded_raise(DWORD code): RaiseException(code, 0, 0, nullptr) in a frame handled by
// tavo_raise_guard_handler. The nop keeps the return address inside the frame's range.
extern "C" void tavo_guarded_raise(DWORD code);
asm(R"(
    .text
    .def tavo_guarded_raise; .scl 2; .type 32; .endef
    .seh_proc tavo_guarded_raise
tavo_guarded_raise:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler tavo_raise_guard_handler, @except
    xorl %edx, %edx
    xorl %r8d, %r8d
    xorl %r9d, %r9d
    call *__imp_RaiseException(%rip)
    nop
    addq $40, %rsp
    ret
    .seh_endproc
)");

extern "C" TAVO_API void __tavo_switch_to_debugger(void) { tavo_guarded_raise(tavo::exception_code); }
