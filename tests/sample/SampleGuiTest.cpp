// The stand-in product's windows as a user sees them.
#include "framework/Handles.h"
#include "tests/support/SampleSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

#include <richedit.h>

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;

namespace {

struct RtfSource {
    const std::string* bytes;
    size_t offset;
};

DWORD CALLBACK ReadRtf(DWORD_PTR cookie, LPBYTE buffer, LONG size, LONG* read)
{
    RtfSource* source = reinterpret_cast<RtfSource*>(cookie);
    const size_t left = source->bytes->size() - source->offset;
    const size_t count = left < static_cast<size_t>(size) ? left : static_cast<size_t>(size);
    memcpy(buffer, source->bytes->data() + source->offset, count);
    source->offset += count;
    *read = static_cast<LONG>(count);
    return 0;
}

// Starts a program without waiting for it.
fw::CKernelHandle Launch(const std::string& commandLine)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return fw::CKernelHandle();
    CloseHandle(info.hThread);
    return fw::CKernelHandle(info.hProcess);
}

DWORD ExitCodeWithin(HANDLE process, DWORD timeoutMs)
{
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
        return 0xFFFFFFFF;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

}  // namespace

TEST(SampleGui, HelpShowsTheUsageInABoxAndEndsWithOk)
{
    ASSERT_TRUE(HaveDisplay());
    fw::CKernelHandle process = Launch("\"" + SamplePath("server", "velloran.exe") + "\" -help");
    ASSERT_TRUE(process.valid());
    HWND box = WaitForDialog("Velloran", 15000);
    ASSERT_NE(box, nullptr);
    const std::string text = MessageBoxText(box);
    EXPECT_EQ(text.rfind("Usage: velloran.exe [-help]\n", 0), 0u) << text;
    EXPECT_NE(text.find("whether the Velloran Service is running"), std::string::npos) << text;
    ClickControl(box, IDOK);
    EXPECT_EQ(ExitCodeWithin(process.get(), 10000), 0u);
}

TEST(SampleGui, UserProgramWindowShowsTheServiceState)
{
    ASSERT_TRUE(HaveDisplay());
    CConsoleProduct product;
    ASSERT_TRUE(product.Start(SamplePath("client", "velloransrvlt.exe"), SAMPLE_CLIENT_EVENT));
    fw::CKernelHandle process = Launch("\"" + SamplePath("client", "velloranlt.exe") + "\"");
    ASSERT_TRUE(process.valid());
    HWND window = nullptr;
    for (int i = 0; i < 300 && window == nullptr; ++i) {
        window = FindWindowA("VelloranSampleWindow", "Velloran Client");
        if (window == nullptr)
            Sleep(50);
    }
    ASSERT_NE(window, nullptr);
    // The window asks the service after it is shown; give the answer a moment.
    const std::string expected = "Velloran Client 6.2.2\n\nVelloran Client Service is running, version 6.2.2.";
    std::string shown;
    for (int i = 0; i < 100 && shown != expected; ++i) {
        shown = WindowText(GetDlgItem(window, 100));
        if (shown != expected)
            Sleep(50);
    }
    EXPECT_EQ(shown, expected);
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(ExitCodeWithin(process.get(), 10000), 0u);
}

TEST(SampleGui, LicenceRtfStreamsIntoRichEditAsPlainText)
{
    ASSERT_TRUE(HaveDisplay());
    fw::CModule richEdit(LoadLibraryA("Riched32.dll"));
    ASSERT_TRUE(richEdit.valid());
    for (const char* build : {"server", "client"}) {
        const std::string rtf = ReadFileBytes(SamplePath(build, "license.rtf"));
        HWND edit = CreateWindowExA(0, "RICHEDIT", "", WS_POPUP | ES_MULTILINE, 0, 0, 400, 300, nullptr, nullptr,
                                    GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(edit, nullptr);
        RtfSource source{&rtf, 0};
        EDITSTREAM stream{};
        stream.dwCookie = reinterpret_cast<DWORD_PTR>(&source);
        stream.pfnCallback = &ReadRtf;
        SendMessageA(edit, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
        const std::string text = WindowText(edit);
        DestroyWindow(edit);
        const std::string title = std::string(build) == "server" ? "Velloran 6.1 - Licence Agreement"
                                                                 : "Velloran Client 6.2.2 - Licence Agreement";
        EXPECT_EQ(text.rfind(title, 0), 0u) << text;
        EXPECT_NE(text.find("leave the setup with Cancel"), std::string::npos) << text;
        EXPECT_EQ(text.find_first_of("{}\\"), std::string::npos) << text;
    }
}
