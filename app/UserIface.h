// The setup's side of the installed product's named pipe: one connection,
// through which the installed-version query sends its request and reads the
// reply. Every wait is bounded, so a product that is busy, refuses the
// connection or stops answering cannot hang the wizard.
#pragma once

#include "framework/Handles.h"

#include <windows.h>

class CUserIface {
public:
    CUserIface() noexcept = default;
    // Closes the pipe if one is open.
    virtual ~CUserIface();

    CUserIface(const CUserIface&) = delete;
    CUserIface& operator=(const CUserIface&) = delete;

    // Opens the pipe `pipeName`, letting its server identify the caller but
    // not impersonate it. Waits again only while every instance is
    // busy, for at most CONNECT_LIMIT_MS in all; any other failure (no such
    // pipe, access denied) means not connected at once.
    bool Connect(const char* pipeName);
    // Sends `count` bytes; false on any failure or after IO_TIMEOUT_MS.
    bool Write(const void* data, DWORD count);
    // Receives exactly `count` bytes, gathered across partial reads; false
    // when the peer closes, fails or stays silent for IO_TIMEOUT_MS. The
    // buffer's contents are then unspecified.
    bool Read(void* buffer, DWORD count);

    static constexpr DWORD CONNECT_LIMIT_MS = 10000;
    static constexpr DWORD IO_TIMEOUT_MS = 3000;

private:
    bool Transfer(bool reading, unsigned char* bytes, DWORD count);

    fw::CFileHandle m_pipe;
};
