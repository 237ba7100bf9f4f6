// A test build of the uninstaller: the application of the deliverable, its
// platform calls wrapped as the environment asks (tests/install/CallInjector.h),
// and the uninstall's test points (VELLORAN_FAULT_HOOK in the install process:
// "services-stopped", "services-removed", "files-removed", "commit",
// "rollback"). Its copy is a copy of this program, with the same environment.
#include "tests/install/CallInjector.h"
#include "uninstaller/UninstallApp.h"

CUninstallApp theApp;

namespace {

const bool g_injected = InstallCallInjection();

}  // namespace
