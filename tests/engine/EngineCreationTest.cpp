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
