// No library planted beside a setup or in its current folder is ever loaded:
// the setup restricts the library search to the system folder before it
// does anything else, imports only known libraries, and loads every other
// library by its full path. Every name below is planted in both folders at
// once and set native first; a silent install with an unpack-only run, and a
// complete wizard, must work and leave no mark. The client setup runs the same
// code with other texts, so the server setup stands for both. The same holds
// for the product's uninstaller started from such a folder: it and the copy
// it hands the work to (which runs from a new folder of its own) load none.
#include "tests/install/InstallTestSupport.h"
#include "tests/release/SetupChecks.h"
#include "tests/support/PlantedLibraries.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

#include "res/resource.h"

#include <gtest/gtest.h>

#include <future>

using namespace installtest;
using namespace testsupport;

namespace {

// Libraries that are not on Windows' known-library list: what the setups load
// themselves (Rich Edit, AlphaBlend, the driver update) and what system
// libraries load on their own (Rich Edit's engine, trust and crypto, the
// firewall's COM server, and the like). Left out, besides the known
// libraries: those Wine's own system libraries import or load while the
// process starts, before a program runs its first instruction, where Windows
// loads none of them (version, zlib1, ucrtbase, win32u, uxtheme).
const std::vector<std::string>& PlantedNames()
{
    static const std::vector<std::string> names = {
        "riched32", "riched20", "msftedit", "msimg32", "newdev",   "wintrust", "crypt32",  "bcrypt",
        "cryptsp",  "cryptbase", "rsaenh",  "msasn1",  "mpr",      "hnetcfg",  "dwmapi",   "profapi",
        "userenv",  "propsys",  "oleacc",   "iphlpapi", "dnsapi",  "secur32",  "sspicli",  "netapi32",
        "winhttp",  "dbghelp",  "apphelp",  "ntmarta", "winmm",    "powrprof", "wtsapi32", "xmllite",
        "actxprxy", "cfgmgr32", "devobj"};
    return names;
}

// The server setup copied into a folder of its own, with every name planted
// there and in the folder the setup runs in.
class PlantedLibraries : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = MakeTempDir("planted");
        current = MakeTempDir("plantedcwd");
        setup = folder + "\\" + Server().setup + ".exe";
        ASSERT_TRUE(CopyFileA(PackedSetup(Server()).c_str(), setup.c_str(), FALSE));
        planted = std::make_unique<CPlantedLibraries>(PlantedNames(), std::vector<std::string>{folder, current});
        ASSERT_TRUE(planted->Planted());
    }
    void TearDown() override { planted.reset(); }

    std::string folder;
    std::string current;
    std::string setup;
    std::unique_ptr<CPlantedLibraries> planted;
};

// The page of the setup's wizard that holds `id`.
HWND Page(int id)
{
    return WaitForDialogWithControl("Setup - " + Server().name, id, 30000);
}

}  // namespace

TEST_F(PlantedLibraries, SilentInstallAndUnpackLoadNone)
{
    EXPECT_EQ(RunProcess("\"" + setup + "\" -silent -licenseaccept", 180000, current), 0);
    CheckInstalled(Server());
    releasetest::CheckUnpacked(Server(), setup, current);
    EXPECT_EQ(CPlantedLibraries::Marks(), "");
}

TEST_F(PlantedLibraries, WizardLoadsNone)
{
    ASSERT_TRUE(HaveDisplay());
    std::future<long> run = std::async(std::launch::async, [this] { return RunProcess("\"" + setup + "\"", 240000, current); });

    HWND page = Page(IDC_SIDE_PICTURE);
    ASSERT_NE(page, nullptr);
    // Next is enabled once the package is loaded.
    for (int i = 0; i < 300 && !ControlEnabled(page, IDOK); ++i)
        Sleep(50);
    ClickControl(page, IDOK);
    page = Page(IDC_ACCEPT);
    ASSERT_NE(page, nullptr);
    ClickControl(page, IDC_ACCEPT);
    ClickControl(page, IDOK);
    // Destination, Start Menu folder, tasks, ready (Install).
    for (int id : {IDC_DESTINATION_TITLE, IDC_START_MENU_TITLE, IDC_TASKS_TITLE, IDC_SUMMARY}) {
        page = Page(id);
        ASSERT_NE(page, nullptr) << id;
        ClickControl(page, IDOK);
    }
    page = WaitForDialogWithControl("Setup - " + Server().name, IDC_LAUNCH, 120000);
    ASSERT_NE(page, nullptr);
    // Nothing is started from the finish page: the product and the browser
    // are not under test here.
    ClickControl(page, IDC_LAUNCH);
    ClickControl(page, IDC_QUICK_START);
    ClickControl(page, IDCANCEL);
    EXPECT_EQ(run.get(), 0);
    CheckInstalled(Server());
    EXPECT_EQ(CPlantedLibraries::Marks(), "");
}

TEST_F(PlantedLibraries, UninstallerLoadsNone)
{
    ASSERT_EQ(RunProcess("\"" + setup + "\" -silent -licenseaccept", 180000, current), 0);
    const std::string uninstaller = folder + "\\uninstall.exe";
    ASSERT_TRUE(CopyFileA((InstallFolder(Server()) + "\\uninstall.exe").c_str(), uninstaller.c_str(), FALSE));
    EXPECT_EQ(RunProcess("\"" + uninstaller + "\" -silent", 180000, current), 0);
    EXPECT_EQ(UninstallValue(Server(), "InstallLocation"), "");
    EXPECT_FALSE(DirectoryExists(InstallFolder(Server())));
    EXPECT_EQ(CPlantedLibraries::Marks(), "");
}
