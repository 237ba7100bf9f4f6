// The client product: a service and the Plug and Play bus driver with its two
// devices; no kernel-driver services of its own.
#include "product/ProductConfig.h"

namespace {

ProductConfig MakeClientProduct()
{
    ProductConfig p;
    p.productName = "Velloran Client";
    p.versionText = "Version 6.2.2";
    p.versionNumber = 0x62200;
    p.versionNumberText = "6.2.2";
    p.logFileName = "velloran-client-setup.log";
    p.publisher = "Korvelline LLC";
    p.uninstallLogFileName = "velloran-client-uninstall.log";

    p.serviceProgram = "velloransrvlt.exe";
    p.serviceName = "velloransrvlt";
    p.serviceDisplayName = "Velloran Client Service";
    p.serviceDescription = "Velloran Client - helps to connect USB devices over IP";
    p.userProgram = "velloranlt.exe";
    p.consoleTool = "velloranltsh.exe";
    p.helpFile = "velloran-client-help.chm";
    p.uninstaller = "uninstall.exe";
    p.busDriverSys = "nexbuslt.sys";
    p.busDriverInf = "nexbuslt.inf";
    p.busDriverCat = "nexbuslt.cat";
    p.busServiceName = "nexbuslt";
    p.busHardwareId = "*nexbusltDevice";
    p.hostControllerHardwareId = "*nexhcltDevice";
    p.uninstallKeyName = "{7C7278B8-BD56-4435-B665-81454D89C383}";
    p.webShortcutFile = "Velloran Client on Web.url";
    p.webUrl = "https://www.velloran.com/client/";
    p.quickStartUrl = "https://www.velloran.com/client/#quick-start";

    p.journalFolder = "Velloran Client Setup";
    p.lockName = "Global\\Velloran Setup Lock {7C7278B8-BD56-4435-B665-81454D89C383}";

    p.presenceEvent = "Global\\7D2669B6-E92D-4388-A97A-B7CD8867823F";
    p.pipeName = "\\\\.\\pipe\\36090781-44EB-4472-9C8F-5A9E8749D470";

    p.systemDriverFiles = {};
    p.kernelDriverServices = {};
    p.programFiles = {{"velloranlt.exe", 494}, {"velloranltsh.exe", 501},        {"license.txt", 519},
                      {"readme.txt", 524},     {"velloran-client-help.chm", 529}, {"uninstall.exe", 534}};
    p.busDriverFiles = {{"nexbuslt.sys", 608}, {"nexbuslt.inf", 613}, {"nexbuslt.cat", 618}};
    p.serviceDependencies = {"nexbuslt"};
    p.servicesToStart = {"velloransrvlt"};
    p.servicesToStop = {"velloransrvlt"};
    p.startMenuShortcuts = {
        {"Velloran Client", "velloranlt.exe", nullptr, true},
        {"Velloran Client Help", "velloran-client-help.chm", nullptr, false},
        {"Velloran Client License", "license.txt", nullptr, false},
        {"Velloran Client Uninstall Wizard", "uninstall.exe", nullptr, false},
        {"Velloran Client Console Command Line", "velloranltsh.exe", nullptr, false},
        {"Velloran Client Command Line", "velloranlt.exe", "-help", false},
    };

    p.unpackFiles = {"velloransrvlt.exe", "velloranlt.exe", "license.txt",  "license.rtf",
                     "uninstall.exe",     "readme.txt",     "velloran-client-help.chm",
                     "nexbuslt.sys",      "nexbuslt.inf",   "nexbuslt.cat", "velloranltsh.exe"};

    p.locCopySystemFolder = 303;
    p.locServiceProgramMissing = 306;
    p.locBusDriverSysMissing = 380;
    p.locInstallDriversFolder = 563;
    p.locCopyOemInf = 648;
    p.locBusDriverInUse = 622;
    p.locServiceFolder = 741;
    p.locInstallService = 758;
    p.locProgramsFolder = 812;

    // Creation checks one lower, every other engine site one higher.
    p.engineSites = {-1, +1};
    return p;
}

}  // namespace

const ProductConfig& Product()
{
    static const ProductConfig product = MakeClientProduct();
    return product;
}
