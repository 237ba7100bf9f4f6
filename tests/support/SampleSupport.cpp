#include "tests/support/SampleSupport.h"

#include "tests/support/TestSupport.h"

#include <cstring>

namespace testsupport {

namespace {

bool ReadExactly(HANDLE pipe, void* buffer, DWORD size)
{
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(pipe, static_cast<char*>(buffer) + done, size - done, &got, nullptr) || got == 0)
            return false;
        done += got;
    }
    return true;
}

void Drain(HANDLE pipe, std::string* output)
{
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr) || got == 0)
            return;
        output->append(buffer, got);
    }
}

}  // namespace

std::string SamplePath(const std::string& build, const std::string& name)
{
    return BuildDir() + "\\sample\\" + build + "\\" + name;
}

bool WaitForEvent(const char* eventName, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        fw::CKernelHandle event(OpenEventA(SYNCHRONIZE, FALSE, eventName));
        if (event)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
}

VersionReply QueryProductVersion(const char* pipeName)
{
    VersionReply reply;
    if (!WaitNamedPipeA(pipeName, 5000))
        return reply;
    fw::CFileHandle pipe(CreateFileA(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe)
        return reply;
    const unsigned char request[4] = {0x07, 0x30, 0x00, 0x00};
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request, sizeof request, &written, nullptr) || written != sizeof request)
        return reply;
    unsigned char header[8];
    if (!ReadExactly(pipe.get(), header, sizeof header))
        return reply;
    reply.version = header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
    const uint32_t length = header[4] | header[5] << 8 | header[6] << 16 | static_cast<uint32_t>(header[7]) << 24;
    if (length > 65536)
        return reply;
    reply.text.assign(length, '\0');
    if (length > 0 && !ReadExactly(pipe.get(), &reply.text[0], length))
        return reply;
    reply.answered = true;
    return reply;
}

bool CConsoleProduct::Start(const std::string& serviceExe, const char* eventName, DWORD timeoutMs)
{
    Stop();
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = "\"" + serviceExe + "\" -console";
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    m_process.reset(info.hProcess);
    fw::CKernelHandle thread(info.hThread);
    const DWORD start = GetTickCount();
    for (;;) {
        fw::CKernelHandle event(OpenEventA(SYNCHRONIZE, FALSE, eventName));
        if (event)
            return true;
        if (WaitForSingleObject(m_process.get(), 20) == WAIT_OBJECT_0 || GetTickCount() - start >= timeoutMs)
            return false;
    }
}

void CConsoleProduct::Stop()
{
    if (!m_process)
        return;
    TerminateProcess(m_process.get(), 0);
    WaitForSingleObject(m_process.get(), 10000);
    m_process.reset();
}

long RunCaptured(const std::string& commandLine, std::string* output, DWORD timeoutMs)
{
    output->clear();
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    fw::CKernelHandle readEnd;
    fw::CKernelHandle writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0))
        return -1000;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return -1000;
    fw::CKernelHandle process(info.hProcess);
    fw::CKernelHandle thread(info.hThread);
    writeEnd.reset();
    const DWORD start = GetTickCount();
    for (;;) {
        const bool exited = WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0;
        Drain(readEnd.get(), output);
        if (exited)
            break;
        if (GetTickCount() - start >= timeoutMs) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
            return -1001;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<long>(static_cast<int32_t>(code));
}

}  // namespace testsupport
