// A catch-all for a thread's body: processor exceptions (access violations,
// division by zero, ...) as well as any C++ exception the body lets escape.
// mingw-w64 has no __try/__except, so processor exceptions are caught by a
// vectored handler that jumps back to the guard; the frames in between are
// abandoned without unwinding, which is acceptable for a body that only
// reports the fault and ends.
#pragma once

#include <cstdint>

struct FaultInfo {
    uint32_t code = 0;     // the exception code
    uint64_t address = 0;  // where it was raised
};

// Runs body(context). True when the body returned; false after a fault, with
// `fault` describing it.
bool RunGuarded(void (*body)(void*), void* context, FaultInfo* fault);
