// A ready engine writing its own setup log, for the service and device tests.
#pragma once

#include "engine/Installer.h"
#include "engine/PlatformCalls.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { StartEngine(EngineSiteShift{}); }

    void TearDown() override
    {
        engine.reset();
        ResetEngineCalls();
    }

    // A new engine (dropping the old one) with the given numbering.
    void StartEngine(EngineSiteShift shift)
    {
        engine.reset();
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        logPath = testsupport::TempDir() + "\\" + test->name() + ".log";
        logFile.reset(CreateFileA(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(logFile.valid());
        try {
            engine = std::make_unique<CInstaller>(logFile.get(), 0, shift);
        } catch (CExceptionEx* e) {
            std::unique_ptr<CExceptionEx> owned(e);
            FAIL() << "engine creation threw location " << e->location << " code " << e->code;
        }
    }

    std::vector<std::string> Log() const { return testsupport::ReadLines(logPath); }

    // The record the call threw, or null.
    template <typename Call>
    static std::unique_ptr<CExceptionEx> Thrown(Call call)
    {
        try {
            call();
        } catch (CExceptionEx* e) {
            return std::unique_ptr<CExceptionEx>(e);
        }
        return nullptr;
    }

    static std::string ServiceKey(const std::string& name)
    {
        return "System\\CurrentControlSet\\Services\\" + name;
    }

    std::string logPath;
    fw::CFileHandle logFile;
    std::unique_ptr<CInstaller> engine;
};

inline const char* const REBOOT_WARNING = "Warning: === Reboot required to complete operation ===";
