// The stand-in product's service as a setup meets it: under the Service
// Control Manager of the prefix and as a console process.
#include "framework/Handles.h"
#include "tests/support/SampleSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;

namespace {

struct ServiceBuild {
    const char* build;
    const char* name;
    const char* event;
    const char* pipe;
    uint32_t version;
    const char* text;
};

const ServiceBuild SERVER{"server", "velloransrv", SAMPLE_SERVER_EVENT, SAMPLE_SERVER_PIPE, 0x61000, "6.1"};
const ServiceBuild CLIENT{"client", "velloransrvlt", SAMPLE_CLIENT_EVENT, SAMPLE_CLIENT_PIPE, 0x62200, "6.2.2"};

std::string ServiceExe(const ServiceBuild& build)
{
    return SamplePath(build.build, std::string(build.name) + ".exe");
}

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs, SERVICE_STATUS* status)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (!QueryServiceStatus(service, status))
            return false;
        if (status->dwCurrentState == state)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
}

DWORD OpenEventError(const char* name)
{
    fw::CKernelHandle event(OpenEventA(SYNCHRONIZE, FALSE, name));
    return event ? ERROR_SUCCESS : GetLastError();
}

class SampleServiceUnderScm : public ::testing::TestWithParam<ServiceBuild> {};

}  // namespace

TEST_P(SampleServiceUnderScm, StartsAnnouncesAnswersAndStops)
{
    const ServiceBuild& build = GetParam();
    fw::CServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm.valid()) << GetLastError();
    const std::string binary = "\"" + ServiceExe(build) + "\"";
    fw::CServiceHandle service(CreateServiceA(scm.get(), build.name, build.name, SERVICE_ALL_ACCESS,
                                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                              SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                              nullptr, nullptr));
    ASSERT_TRUE(service.valid()) << GetLastError();
    EXPECT_EQ(OpenEventError(build.event), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << GetLastError();
    SERVICE_STATUS status{};
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, 10000, &status)) << status.dwCurrentState;
    EXPECT_EQ(status.dwControlsAccepted & SERVICE_ACCEPT_STOP, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_EQ(OpenEventError(build.event), static_cast<DWORD>(ERROR_SUCCESS));

    const VersionReply reply = QueryProductVersion(build.pipe);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.version, build.version);
    EXPECT_EQ(reply.text, build.text);

    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, 10000, &status)) << status.dwCurrentState;
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    // Gone with the stop: a setup now sees no running product.
    EXPECT_EQ(OpenEventError(build.event), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(WaitNamedPipeA(build.pipe, 100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_TRUE(DeleteService(service.get()));
}

INSTANTIATE_TEST_SUITE_P(BothBuilds, SampleServiceUnderScm, ::testing::Values(SERVER, CLIENT),
                         [](const ::testing::TestParamInfo<ServiceBuild>& info) {
                             return std::string(info.param.build);
                         });

TEST(SampleServiceConsole, AnswersSuccessiveClientsAndRepeatedRequests)
{
    CConsoleProduct product;
    ASSERT_TRUE(product.Start(ServiceExe(CLIENT), CLIENT.event));
    for (int client = 0; client < 3; ++client) {
        const VersionReply reply = QueryProductVersion(CLIENT.pipe);
        EXPECT_TRUE(reply.answered) << "client " << client;
        EXPECT_EQ(reply.version, 0x62200u);
        EXPECT_EQ(reply.text, "6.2.2");
    }

    // Two requests on one connection, the first one written in two pieces.
    fw::CFileHandle pipe(CreateFileA(CLIENT.pipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(pipe.valid()) << GetLastError();
    const unsigned char request[4] = {0x07, 0x30, 0x00, 0x00};
    DWORD moved = 0;
    ASSERT_TRUE(WriteFile(pipe.get(), request, 1, &moved, nullptr));
    Sleep(50);
    ASSERT_TRUE(WriteFile(pipe.get(), request + 1, 3, &moved, nullptr));
    ASSERT_TRUE(WriteFile(pipe.get(), request, 4, &moved, nullptr));
    const std::string expected("\x00\x22\x06\x00\x05\x00\x00\x00" "6.2.2", 13);
    std::string received;
    while (received.size() < 2 * expected.size()) {
        char buffer[64];
        if (!ReadFile(pipe.get(), buffer, sizeof buffer, &moved, nullptr) || moved == 0)
            break;
        received.append(buffer, moved);
    }
    EXPECT_EQ(received, expected + expected);
}

TEST(SampleServiceConsole, HangsUpOnAnUnknownRequestAndServesTheNextClient)
{
    CConsoleProduct product;
    ASSERT_TRUE(product.Start(ServiceExe(SERVER), SERVER.event));
    {
        fw::CFileHandle pipe(
            CreateFileA(SERVER.pipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(pipe.valid()) << GetLastError();
        const unsigned char request[4] = {0x08, 0x30, 0x00, 0x00};
        DWORD moved = 0;
        ASSERT_TRUE(WriteFile(pipe.get(), request, 4, &moved, nullptr));
        char buffer[16];
        EXPECT_FALSE(ReadFile(pipe.get(), buffer, sizeof buffer, &moved, nullptr) && moved > 0);
    }
    const VersionReply reply = QueryProductVersion(SERVER.pipe);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.version, 0x61000u);
}

TEST(SampleServiceConsole, AClientThatSaysNothingDoesNotBlockTheNext)
{
    CConsoleProduct product;
    ASSERT_TRUE(product.Start(ServiceExe(SERVER), SERVER.event));
    fw::CFileHandle silent(CreateFileA(SERVER.pipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(silent.valid()) << GetLastError();
    const DWORD start = GetTickCount();
    const VersionReply reply = QueryProductVersion(SERVER.pipe);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.text, "6.1");
    EXPECT_LT(GetTickCount() - start, 15000u);
}

TEST(SampleServiceConsole, ASecondCopyRefusesWhileTheFirstServes)
{
    CConsoleProduct product;
    ASSERT_TRUE(product.Start(ServiceExe(SERVER), SERVER.event));
    std::string output;
    EXPECT_EQ(RunCaptured("\"" + ServiceExe(SERVER) + "\" -console", &output, 20000), 1);
    EXPECT_NE(output.find("velloransrv: cannot serve"), std::string::npos) << output;
    EXPECT_NE(output.find("(error 1056)"), std::string::npos) << output;
    EXPECT_TRUE(QueryProductVersion(SERVER.pipe).answered);
}

TEST(SampleServiceConsole, NewerBuildsReportTheirOwnVersion)
{
    struct Newer {
        const char* exe;
        const char* event;
        const char* pipe;
        uint32_t version;
        const char* text;
    };
    const Newer builds[] = {{"velloransrv_newer.exe", SERVER.event, SERVER.pipe, 0x61001, "6.1.0.1"},
                            {"velloransrvlt_newer.exe", CLIENT.event, CLIENT.pipe, 0x62201, "6.2.2.1"}};
    for (const Newer& newer : builds) {
        CConsoleProduct product;
        ASSERT_TRUE(product.Start(BinPath(newer.exe), newer.event)) << newer.exe;
        const VersionReply reply = QueryProductVersion(newer.pipe);
        EXPECT_TRUE(reply.answered) << newer.exe;
        EXPECT_EQ(reply.version, newer.version) << newer.exe;
        EXPECT_EQ(reply.text, newer.text) << newer.exe;
    }
}
