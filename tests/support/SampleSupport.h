// Helpers for tests that need the stand-in product: where its files are built,
// a running copy of its service in console mode, and the version query as a
// setup makes it (written here independently of the product's own code).
#pragma once

#include "framework/Handles.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace testsupport {

// Presence event and pipe of the installed product, per build.
constexpr char SAMPLE_SERVER_EVENT[] = "Global\\1FF3826E-2952-437b-8C0D-6F566815B0F6";
constexpr char SAMPLE_SERVER_PIPE[] = "\\\\.\\pipe\\DBA0FFEA-0EAF-4067-B9D4-D7B25D9812F0";
constexpr char SAMPLE_CLIENT_EVENT[] = "Global\\7D2669B6-E92D-4388-A97A-B7CD8867823F";
constexpr char SAMPLE_CLIENT_PIPE[] = "\\\\.\\pipe\\36090781-44EB-4472-9C8F-5A9E8749D470";

// A payload file as the build leaves it, e.g. SamplePath("server", "nexbus.inf").
// The "newer" service programs are BinPath("velloransrv_newer.exe") and
// BinPath("velloransrvlt_newer.exe").
std::string SamplePath(const std::string& build, const std::string& name);

// Waits until a named event can be opened; false after timeoutMs.
bool WaitForEvent(const char* eventName, DWORD timeoutMs);

struct VersionReply {
    bool answered = false;  // the whole reply arrived
    uint32_t version = 0;
    std::string text;
};
// Connects to the pipe, sends the bytes 07 30 00 00 and reads the version,
// the text length and the text. answered is false when any of it fails.
VersionReply QueryProductVersion(const char* pipeName);

// The product service running as a console process ("-console"). Start waits
// until the presence event exists; the destructor ends the process.
class CConsoleProduct {
public:
    CConsoleProduct() = default;
    ~CConsoleProduct() { Stop(); }
    CConsoleProduct(const CConsoleProduct&) = delete;
    CConsoleProduct& operator=(const CConsoleProduct&) = delete;

    bool Start(const std::string& serviceExe, const char* eventName, DWORD timeoutMs = 10000);
    // Terminates the process and waits for it; its event and pipe go with it.
    void Stop();
    HANDLE Process() const { return m_process.get(); }

private:
    fw::CKernelHandle m_process;
};

// Runs a command line with standard output and error captured into *output.
// Returns the exit code, -1000 when it could not start, -1001 after timeoutMs
// (the process is then terminated).
long RunCaptured(const std::string& commandLine, std::string* output, DWORD timeoutMs = 60000);

}  // namespace testsupport
