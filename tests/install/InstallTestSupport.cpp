#include "tests/install/InstallTestSupport.h"

#include "package/PackageWriter.h"
#include "tests/support/TestSupport.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <stdexcept>

using namespace testsupport;

namespace installtest {

namespace {

std::string SpecialFolder(int csidl)
{
    char path[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, path, csidl, FALSE);
    return path;
}

std::string WriteSetup(const std::string& bytes, const TestProduct& product, const std::string& folder)
{
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string path = folder + "\\" + product.setup + ".exe";
    if (!WriteFileBytes(path, bytes))
        throw std::runtime_error("cannot write " + path);
    return path;
}

}  // namespace

const TestProduct& Server()
{
    static const TestProduct product{
        "velloran_setup",
        "server",
        "Velloran",
        "velloran-install.log",
        "velloransrv.exe",
        "velloransrv",
        "nexbus",
        {"velloransrv.exe", "velloran.exe", "license.txt", "license.rtf", "velloran-help.chm", "readme.txt",
         "uninstall.exe", "velloransh.exe", "nexpnp.sys", "nexstb.sys", "nexbus.sys", "nexbus.inf",
         "nexbus.cat", "usblibvista", "usblibxp"},
        {"nexstb", "nexpnp"},
        "{FB9376AC-5253-42a5-AC0A-D306F32FFAD2}",
    };
    return product;
}

const TestProduct& Client()
{
    static const TestProduct product{
        "velloran_client_setup",
        "client",
        "Velloran Client",
        "velloran-client-setup.log",
        "velloransrvlt.exe",
        "velloransrvlt",
        "nexbuslt",
        {"velloransrvlt.exe", "velloranlt.exe", "license.txt", "license.rtf", "velloran-client-help.chm",
         "readme.txt", "uninstall.exe", "velloranltsh.exe", "nexbuslt.sys", "nexbuslt.inf", "nexbuslt.cat",
         "usblibvista", "usblibxp"},
        {},
        "{7C7278B8-BD56-4435-B665-81454D89C383}",
    };
    return product;
}

std::string PayloadFile(const TestProduct& product, const std::string& entry)
{
    return BuildDir() + "\\sample\\" + product.sampleFolder + "\\" + entry;
}

std::string PayloadBytes(const TestProduct& product, const std::string& entry)
{
    return ReadFileBytes(PayloadFile(product, entry));
}

std::string PackedSetup(const TestProduct& product)
{
    return BuildDir() + "\\deliver\\" + product.setup + ".exe";
}

std::string SetupWithout(const TestProduct& product, const std::vector<std::string>& missing,
                         const std::string& folder)
{
    CPackageWriter writer;
    for (const std::string& entry : product.entries) {
        if (std::find(missing.begin(), missing.end(), entry) != missing.end())
            continue;
        std::string error;
        if (!writer.AddEntry(entry, PayloadBytes(product, entry), &error))
            throw std::runtime_error(entry + ": " + error);
    }
    std::string setup;
    std::string error;
    const std::string stub = ReadFileBytes(BinPath(product.setup + ".exe"));
    if (!CPackageWriter::AppendToStub(stub, writer.Build(), &setup, &error))
        throw std::runtime_error("append: " + error);
    return WriteSetup(setup, product, folder);
}

std::string StubSetup(const TestProduct& product, const std::string& folder)
{
    return WriteSetup(ReadFileBytes(BinPath(product.setup + ".exe")), product, folder);
}

std::string InstallFolder(const TestProduct& product)
{
    return SpecialFolder(CSIDL_PROGRAM_FILES) + "\\" + product.name;
}

std::string StartMenuFolder(const TestProduct& product)
{
    return SpecialFolder(CSIDL_COMMON_PROGRAMS) + "\\" + product.name;
}

std::string DesktopFolder()
{
    return SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
}

std::string TempLog(const TestProduct& product)
{
    return TempDir() + "\\" + product.logFile;
}

MachineScope InstallScope(const TestProduct& product)
{
    MachineScope scope;
    const std::string system = SystemDir();
    scope.trees = {InstallFolder(product), StartMenuFolder(product)};
    scope.files = {system + "\\" + product.serviceProgram, DesktopFolder() + "\\" + product.name + ".lnk",
                   system + "\\drivers\\usbd.sys"};
    for (const std::string& entry : product.entries) {
        if (entry.size() > 4 && entry.compare(entry.size() - 4, 4, ".sys") == 0)
            scope.files.push_back(system + "\\drivers\\" + entry);
    }
    const std::string services = "System\\CurrentControlSet\\Services\\";
    scope.registryKeys = {services + product.serviceName,
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product.uninstallKey};
    for (const std::string& driver : product.kernelDrivers)
        scope.registryKeys.push_back(services + driver);
    return scope;
}

long RunSetup(const std::string& setupPath, const std::string& switches, DWORD timeoutMs)
{
    return RunProcess("\"" + setupPath + "\" " + switches, timeoutMs);
}

std::string MissingInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& needles)
{
    size_t at = 0;
    for (const std::string& needle : needles) {
        while (at < lines.size() && lines[at] != needle)
            ++at;
        if (at == lines.size())
            return needle;
        ++at;
    }
    return std::string();
}

}  // namespace installtest
