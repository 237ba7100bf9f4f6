// The install worker's steps after the plan: the firewall step and its flag,
// with the plan run in-process on this (throwaway) machine.
#include "app/InstallApp.h"
#include "engine/PlatformCalls.h"
#include "process/Firewall.h"
#include "tests/install/InstallTestSupport.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace installtest;
using namespace testsupport;

namespace {

HRESULT WINAPI RefuseCreation(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* object)
{
    *object = nullptr;
    return REGDB_E_CLASSNOTREG;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST(FirewallStep, AFailureIsTwoLogLinesAndNotAFailedInstallation)
{
    EngineCalls().CoCreateInstance = &RefuseCreation;
    TestLogFile log("firewall-step.log");
    InstallChoices choices;
    ProgressSink sink;
    {
        CInstallProcess process(log.handle.get(), 0, &choices, &sink);
        process.CreateFirewallRules();
    }
    ResetEngineCalls();
    log.Close();
    // The firewall manager cannot be created: module 26, location 55, its result.
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "Create Firewall rules",
                               "=== Error creating firewall rules ===",
                               "Error during creating firewall rules.\nError code = 0x80040154\nError arg0 = 0x001a0037",
                           }));
}

TEST(FirewallStep, RunsOnlyWhenChosen)
{
    // The whole worker in this process: the plan installs the server product
    // here, then the firewall step runs or not by the user's choice.
    for (const int chosen : {0, 1}) {
        CInstallApp app;
        TestLogFile log(chosen ? "worker-firewall.log" : "worker-nofirewall.log");
        ProgressValues values;
        app.progress.links = ProgressLinks::To(values);
        app.choices.destinationFolder = InstallFolder(Server());
        app.choices.startMenuFolder = "Velloran";
        app.choices.firewallRules = chosen;
        app.installProcess = std::make_unique<CInstallProcess>(log.handle.get(), 0, &app.choices, &app.progress);
        ASSERT_EQ(app.installProcess->LoadPackage(), 0) << "the test program carries the server package";
        EXPECT_EQ(CInstallApp::InstallWorkerMain(&app), 0u);
        EXPECT_EQ(app.installFailed, 0);
        EXPECT_EQ(values.displayed.load(), 100);
        app.installProcess.reset();
        log.Close();
        const std::vector<std::string> lines = log.Lines();
        EXPECT_EQ(Contains(lines, "Create Firewall rules"), chosen == 1);
        EXPECT_EQ(Contains(lines, "Firewall rules was created succesful"), chosen == 1);
    }
}
