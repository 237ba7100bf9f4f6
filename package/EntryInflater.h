// Inflates one package entry's zlib stream through a caller-owned output
// window, appending the window to the result each time it fills.
#pragma once

#include "package/InflateBuffer.h"
#include "package/PackageFormat.h"

#include <cstdint>

class CEntryInflater {
public:
    // The window is borrowed; it must outlive the inflater.
    CEntryInflater(uint8_t* window, uint32_t windowSize);
    virtual ~CEntryInflater();

    // FAULT_NONE with the inflated bytes in *result, else the fault and an
    // empty result. Bytes after the end of the stream are ignored. Throws
    // std::bad_alloc when the result cannot grow.
    PackageFault Inflate(const uint8_t* data, uint32_t size, CInflateBuffer* result);

private:
    uint8_t* m_window;
    uint32_t m_windowSize;
};
