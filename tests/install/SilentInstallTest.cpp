// Silent installs of both products into a fresh machine, checked on the
// machine itself: files, services, devices, the driver store, shortcuts, the
// uninstall entry and the setup log.
#include "tests/install/InstallTestSupport.h"
#include "tests/support/MachineSnapshot.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace installtest;
using namespace testsupport;

namespace {

const std::string SERVICES = "System\\CurrentControlSet\\Services\\";

}  // namespace

TEST(SilentInstall, ServerLandsCompletely)
{
    EXPECT_EQ(RunSetup(PackedSetup(Server()), "-silent -licenseaccept"), 0);
    CheckInstalled(Server());
}

TEST(SilentInstall, ClientLandsCompletely)
{
    EXPECT_EQ(RunSetup(PackedSetup(Client()), "-silent -licenseaccept"), 0);
    CheckInstalled(Client());
    // The client has no kernel-driver services of its own.
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, SERVICES + "nexpnp"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, SERVICES + "nexstb"));
}

TEST(SilentInstall, LogSwitchPutsACopyBesideTheSetup)
{
    const std::string folder = MakeTempDir("logcopy");
    const std::string setup = folder + "\\velloran_setup.exe";
    ASSERT_TRUE(CopyFileA(PackedSetup(Server()).c_str(), setup.c_str(), FALSE));
    EXPECT_EQ(RunSetup(setup, "-silent -licenseaccept -log"), 0);
    const std::vector<std::string> beside = ReadLines(folder + "\\velloran-install.log");
    ASSERT_FALSE(beside.empty());
    EXPECT_EQ(beside.front(), "Velloran installation...");
    EXPECT_EQ(ReadFileBytes(folder + "\\velloran-install.log"),
              ReadFileBytes(InstallFolder(Server()) + "\\velloran-install.log"));
    EXPECT_FALSE(FileExists(TempLog(Server())));
}

TEST(SilentInstall, WithoutUsbdTheVariantForTheSystemIsInstalled)
{
    // Wine ships a usbd.sys; without it the plan brings the one for this
    // system (Windows 7 reports 6.1: the Vista variant).
    const std::string usbd = SystemDir() + "\\drivers\\usbd.sys";
    ASSERT_TRUE(DeleteFileA(usbd.c_str()));
    EXPECT_EQ(RunSetup(PackedSetup(Server()), "-silent -licenseaccept"), 0);
    EXPECT_EQ(ReadFileBytes(usbd), PayloadBytes(Server(), "usblibvista"));
}

TEST(SilentInstall, UsbdIsLeftAloneWhenPresent)
{
    const std::string usbd = SystemDir() + "\\drivers\\usbd.sys";
    const std::string before = ReadFileBytes(usbd);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(RunSetup(PackedSetup(Client()), "-silent -licenseaccept"), 0);
    EXPECT_EQ(ReadFileBytes(usbd), before);
    for (const std::string& line : ReadLines(InstallFolder(Client()) + "\\" + Client().logFile))
        EXPECT_EQ(line.find("usbd.sys"), std::string::npos) << line;
}
