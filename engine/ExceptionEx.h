// The error record every component of the setup throws. It is thrown by
// pointer (throw new CExceptionEx(...)); whoever catches it owns and deletes
// it, usually by putting it into a std::unique_ptr at once.
#pragma once

#include <cstdint>

enum : uint16_t {
    MODULE_INSTALLER = 19,     // the engine
    MODULE_FIREWALL = 26,      // firewall rules
    MODULE_PROCESS = 0x1000,   // the install process and its plan
};

class CExceptionEx {
public:
    CExceptionEx(uint16_t module, uint16_t location, uint32_t code)
        : module(module), location(location), code(code)
    {
    }
    virtual ~CExceptionEx() = default;

    // The second number the user is shown ("Error arg0").
    uint32_t Arg0() const { return (static_cast<uint32_t>(module) << 16) | location; }

    uint16_t module;
    uint16_t location;
    uint32_t code;
};

// Throws a new record; the caller takes the code (usually GetLastError())
// right after the failing call and passes it here.
[[noreturn]] inline void ThrowExceptionEx(uint16_t module, int location, uint32_t code)
{
    throw new CExceptionEx(module, static_cast<uint16_t>(location), code);
}
