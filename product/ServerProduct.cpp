// The server product: a service, two kernel-driver services of its own and
// the Plug and Play bus driver with its two devices.
#include "product/ProductConfig.h"

namespace {

ProductConfig MakeServerProduct()
{
    ProductConfig p;
    p.productName = "Velloran";
    p.versionText = "Version 6.1";
    p.versionNumber = 0x61000;
    p.versionNumberText = "6.1";
    p.logFileName = "velloran-install.log";
    p.publisher = "Korvelline LLC";
    p.uninstallLogFileName = "velloran-uninstall.log";

    p.serviceProgram = "velloransrv.exe";
    p.serviceName = "velloransrv";
    p.serviceDisplayName = "Velloran Service";
    p.serviceDescription = "Velloran - helps to share USB devices over IP";
    p.userProgram = "velloran.exe";
    p.consoleTool = "velloransh.exe";
    p.helpFile = "velloran-help.chm";
    p.uninstaller = "uninstall.exe";
    p.busDriverSys = "nexbus.sys";
    p.busDriverInf = "nexbus.inf";
    p.busDriverCat = "nexbus.cat";
    p.busServiceName = "nexbus";
    p.busHardwareId = "*nexbusDevice";
    p.hostControllerHardwareId = "*nexhcDevice";
    p.uninstallKeyName = "{FB9376AC-5253-42a5-AC0A-D306F32FFAD2}";
    p.webShortcutFile = "Velloran on Web.url";
    p.webUrl = "https://www.velloran.com/";
    p.quickStartUrl = "https://www.velloran.com/#quick-start";

    p.journalFolder = "Velloran Setup";
    p.lockName = "Global\\Velloran Setup Lock {FB9376AC-5253-42a5-AC0A-D306F32FFAD2}";

    p.presenceEvent = "Global\\1FF3826E-2952-437b-8C0D-6F566815B0F6";
    p.pipeName = "\\\\.\\pipe\\DBA0FFEA-0EAF-4067-B9D4-D7B25D9812F0";

    p.systemDriverFiles = {{"nexpnp.sys", 366}, {"nexstb.sys", 371}};
    p.kernelDriverServices = {
        {"nexstb.sys", "nexstb", "Velloran Stub Device", SERVICE_DEMAND_START, 576},
        {"nexpnp.sys", "nexpnp", "Velloran PnP Device", SERVICE_AUTO_START, 590},
    };
    p.programFiles = {{"velloran.exe", 494},  {"velloransh.exe", 501},    {"license.txt", 519},
                      {"readme.txt", 524},    {"velloran-help.chm", 529}, {"uninstall.exe", 534}};
    p.busDriverFiles = {{"nexbus.sys", 603}, {"nexbus.inf", 608}, {"nexbus.cat", 613}};
    p.serviceDependencies = {"nexbus", "nexpnp"};
    p.servicesToStart = {"nexpnp", "velloransrv"};
    p.servicesToStop = {"velloransrv", "nexpnp"};
    p.startMenuShortcuts = {
        {"Velloran", "velloran.exe", nullptr, true},
        {"Velloran Help", "velloran-help.chm", nullptr, false},
        {"Velloran License", "license.txt", nullptr, false},
        {"Velloran Uninstall Wizard", "uninstall.exe", nullptr, false},
        {"Velloran Console Command Line", "velloransh.exe", nullptr, false},
        {"Velloran Command Line", "velloran.exe", "-help", false},
    };

    p.unpackFiles = {"velloransrv.exe", "velloran.exe", "license.txt", "license.rtf", "uninstall.exe",
                     "readme.txt",      "velloran-help.chm", "nexstb.sys", "nexpnp.sys",
                     "nexbus.sys",      "nexbus.inf",   "nexbus.cat",  "velloransh.exe"};

    p.locCopySystemFolder = 303;
    p.locServiceProgramMissing = 306;
    p.locBusDriverSysMissing = 380;
    p.locInstallDriversFolder = 558;
    p.locCopyOemInf = 643;
    p.locBusDriverInUse = 617;
    p.locServiceFolder = 736;
    p.locInstallService = 753;
    p.locProgramsFolder = 807;

    p.engineSites = {0, 0};
    return p;
}

}  // namespace

const ProductConfig& Product()
{
    static const ProductConfig product = MakeServerProduct();
    return product;
}
