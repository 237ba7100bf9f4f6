// A catch-all for a thread's body: processor exceptions (access violations,
// division by zero, ...) as well as any C++ exception the body lets escape.
// mingw-w64 has no __try/__except. The guard acts only on exceptions that
// nothing below it handles: the process's unhandled-exception filter, which
// the system calls only after every frame declined, jumps back to the guard
// of the faulting thread. System code that raises and handles exceptions of
// its own is left alone. The frames in between are abandoned without
// unwinding, which is acceptable for a body that then reports the fault and
// rolls back.
#pragma once

#include <cstdint>

struct FaultInfo {
    uint32_t code = 0;     // the exception code
    uint64_t address = 0;  // where it was raised
};

// Runs body(context). True when the body returned; false after a fault, with
// `fault` describing it.
bool RunGuarded(void (*body)(void*), void* context, FaultInfo* fault);

// Runs body(context) under a guard and, after a fault, recover(context,
// fault) under a guard of its own. False only when the recovery faulted too:
// the run can then only be taken as failed.
bool RunGuardedWithRecovery(void (*body)(void*), void (*recover)(void*, const FaultInfo&), void* context);
