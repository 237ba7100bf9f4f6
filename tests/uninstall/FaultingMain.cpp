// A test build of the uninstaller: the application of the deliverable, its
// platform calls wrapped as the environment asks (tests/install/CallInjector.h),
// and the uninstall's test points (VELLORAN_FAULT_HOOK in the install process:
// "services-stopped", "services-removed", "files-removed", "commit",
// "rollback"). Its copy is a copy of this program and has the same
// environment. Only the copy's calls are wrapped, counted from 1: it does the
// work, while the program started first only copies itself and waits, so a
// trace names the uninstall's calls alone and the Nth call is the copy's.
#include "tests/install/CallInjector.h"
#include "uninstaller/UninstallApp.h"
#include "uninstaller/UninstallCommandLine.h"

CUninstallApp theApp;

namespace {

bool IsTheCopy()
{
    std::string original;
    return OriginalFromCommandLine(&original);
}

const bool g_injected = IsTheCopy() && InstallCallInjection();

}  // namespace
