#include "engine/Installer.h"
#include "engine/PlatformCalls.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace testsupport;

namespace {

BOOL WINAPI FailTokenOpen(HANDLE, DWORD, PHANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

DWORD g_major = 0;
BYTE g_productType = 0;
BOOL WINAPI FakeVersion(OSVERSIONINFOA* info)
{
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))
        return FALSE;
    auto* ex = reinterpret_cast<OSVERSIONINFOEXA*>(info);
    ex->dwMajorVersion = g_major;
    ex->dwMinorVersion = 1;
    ex->wProductType = g_productType;
    return TRUE;
}

struct LogFile {
    std::string path;
    fw::CFileHandle handle;
    explicit LogFile(const std::string& name) : path(TempDir() + "\\" + name)
    {
        handle.reset(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
};

}  // namespace

TEST(EngineCreation, AdministratorUnderWineGetsAReadyEngine)
{
    LogFile log("creation-ok.log");
    std::unique_ptr<CInstaller> engine;
    try {
        engine = std::make_unique<CInstaller>(log.handle.get(), 0);
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> owned(e);
        FAIL() << "creation threw location " << e->location << " code " << e->code;
    }
    EXPECT_EQ(engine->RestartRequired(), 0);
    EXPECT_EQ(engine->GetOsClass(), OS_CLASS_NT6_WORKSTATION);
}

TEST(EngineCreation, NotAnAdministratorThrows61WithItsOnlyLine)
{
    EngineCalls().OpenProcessToken = &FailTokenOpen;
    LogFile log("creation-noadmin.log");
    uint16_t location = 0;
    uint32_t code = 0;
    uint16_t module = 0;
    try {
        CInstaller engine(log.handle.get(), 0);
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> owned(e);
        module = e->module;
        location = e->location;
        code = e->code;
    }
    ResetEngineCalls();
    log.handle.reset();
    EXPECT_EQ(module, MODULE_INSTALLER);
    EXPECT_EQ(location, 61);
    EXPECT_EQ(code, 1313u);
    EXPECT_EQ(ReadLines(log.path), std::vector<std::string>{"Error: No such admin privilege"});
}

TEST(EngineCreation, ClientNumberingShiftsTheCreationChecksDown)
{
    EngineCalls().OpenProcessToken = &FailTokenOpen;
    uint16_t location = 0;
    try {
        CInstaller engine(INVALID_HANDLE_VALUE, 0, EngineSiteShift{-1, +1});
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> owned(e);
        location = e->location;
    }
    ResetEngineCalls();
    EXPECT_EQ(location, 60);
}

TEST(EngineCreation, OsClassFollowsMajorVersionAndProductType)
{
    const struct {
        const char* system;
        DWORD major;
        BYTE productType;
        int32_t osClass;
    } cases[] = {
        {"Windows XP", 5, VER_NT_WORKSTATION, OS_CLASS_OTHER},
        {"Windows Server 2003", 5, VER_NT_SERVER, OS_CLASS_OTHER},
        {"Windows 7", 6, VER_NT_WORKSTATION, OS_CLASS_NT6_WORKSTATION},
        {"Windows Server 2008 R2", 6, VER_NT_SERVER, OS_CLASS_NT6_SERVER},
        {"domain controller", 6, VER_NT_DOMAIN_CONTROLLER, OS_CLASS_NT6_SERVER},
        {"major version 10", 10, VER_NT_WORKSTATION, OS_CLASS_OTHER},
    };
    EngineCalls().GetVersionExA = &FakeVersion;
    for (const auto& c : cases) {
        g_major = c.major;
        g_productType = c.productType;
        CInstaller engine(INVALID_HANDLE_VALUE, 0);
        EXPECT_EQ(engine.GetOsClass(), c.osClass) << c.system;
    }
    ResetEngineCalls();
}
