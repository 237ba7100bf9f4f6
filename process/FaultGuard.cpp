#include "process/FaultGuard.h"

#include "engine/ExceptionEx.h"

#include <windows.h>

#include <memory>

namespace {

// The guard of the current thread, while a guarded body runs.
struct GuardFrame {
    intptr_t jump[5];  // for __builtin_setjmp / __builtin_longjmp
    FaultInfo last;    // the last exception seen on this thread (C++ ones included)
    FaultInfo fault;   // the processor exception that ended the body
    GuardFrame* outer;
};

thread_local GuardFrame* t_frame = nullptr;

bool IsProcessorFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_NONCONTINUABLE_EXCEPTION:
    case EXCEPTION_INVALID_DISPOSITION:
        return true;
    default:
        return false;
    }
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
{
    GuardFrame* frame = t_frame;
    if (frame == nullptr || info == nullptr || info->ExceptionRecord == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    // Debugger notifications (OutputDebugString, thread names) are not faults
    // and must not count as "the last exception".
    if (code == DBG_PRINTEXCEPTION_C || code == 0x406D1388 || code == EXCEPTION_BREAKPOINT)
        return EXCEPTION_CONTINUE_SEARCH;
    frame->last.code = code;
    frame->last.address = reinterpret_cast<uint64_t>(info->ExceptionRecord->ExceptionAddress);
    if (!IsProcessorFault(code))
        return EXCEPTION_CONTINUE_SEARCH;  // C++ exceptions go their normal way
    frame->fault = frame->last;
    __builtin_longjmp(frame->jump, 1);
}

// The vectored handler is registered once for the process and stays; it acts
// only on threads that run a guarded body.
void EnsureHandler()
{
    static PVOID handler = AddVectoredExceptionHandler(1, &OnException);
    (void)handler;
}

// Runs the body with C++ exceptions caught; kept out of line so that the
// setjmp frame in RunGuarded holds nothing that needs unwinding.
__attribute__((noinline)) bool RunCatching(void (*body)(void*), void* context, GuardFrame* frame)
{
    try {
        body(context);
        return true;
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> owned(e);
    } catch (...) {
    }
    frame->fault = frame->last;
    return false;
}

}  // namespace

bool RunGuarded(void (*body)(void*), void* context, FaultInfo* fault)
{
    EnsureHandler();
    GuardFrame frame{};
    frame.outer = t_frame;
    t_frame = &frame;

    volatile bool completed = false;
    if (__builtin_setjmp(frame.jump) == 0) {
        completed = RunCatching(body, context, &frame);
    }
    t_frame = frame.outer;
    if (!completed && fault)
        *fault = frame.fault;
    return completed;
}
