#include "process/FaultGuard.h"

#include "engine/ExceptionEx.h"

#include <windows.h>

#include <memory>

namespace {

// The code the C++ runtime raises a throw with ("GCC" and a type byte).
constexpr DWORD CPP_EXCEPTION_CODE = 0x20474343;

// The guard of the current thread, while a guarded body runs.
struct GuardFrame {
    intptr_t jump[5];     // for __builtin_setjmp / __builtin_longjmp
    FaultInfo lastThrow;  // the last C++ throw on this thread
    FaultInfo fault;      // what ended the body
    GuardFrame* outer;
};

thread_local GuardFrame* t_frame = nullptr;

LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;

// Only on the faulting thread and only for what no frame handled.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info)
{
    GuardFrame* frame = t_frame;
    if (frame == nullptr || info == nullptr || info->ExceptionRecord == nullptr)
        return g_previousFilter != nullptr ? g_previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
    frame->fault.code = info->ExceptionRecord->ExceptionCode;
    frame->fault.address = reinterpret_cast<uint64_t>(info->ExceptionRecord->ExceptionAddress);
    __builtin_longjmp(frame->jump, 1);
}

// Notes where a C++ exception was thrown, so that one the body lets escape
// can be reported with its code and address. It never handles anything.
LONG CALLBACK NoteCppThrow(EXCEPTION_POINTERS* info)
{
    GuardFrame* frame = t_frame;
    if (frame != nullptr && info != nullptr && info->ExceptionRecord != nullptr &&
        info->ExceptionRecord->ExceptionCode == CPP_EXCEPTION_CODE) {
        frame->lastThrow.code = CPP_EXCEPTION_CODE;
        frame->lastThrow.address = reinterpret_cast<uint64_t>(info->ExceptionRecord->ExceptionAddress);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Both stay for the life of the process; they act only on threads that run a
// guarded body and chain to whatever filter was there before.
void EnsureHandlers()
{
    static const bool installed = [] {
        g_previousFilter = SetUnhandledExceptionFilter(&OnUnhandledException);
        AddVectoredExceptionHandler(0, &NoteCppThrow);
        return true;
    }();
    (void)installed;
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
    frame->fault = frame->lastThrow;
    return false;
}

}  // namespace

bool RunGuarded(void (*body)(void*), void* context, FaultInfo* fault)
{
    EnsureHandlers();
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

bool RunGuardedWithRecovery(void (*body)(void*), void (*recover)(void*, const FaultInfo&), void* context)
{
    FaultInfo fault;
    if (RunGuarded(body, context, &fault))
        return true;
    struct Recovery {
        void (*recover)(void*, const FaultInfo&);
        void* context;
        FaultInfo fault;
    } recovery{recover, context, fault};
    FaultInfo second;
    return RunGuarded(
        [](void* parameter) {
            const Recovery* r = static_cast<const Recovery*>(parameter);
            r->recover(r->context, r->fault);
        },
        &recovery, &second);
}
