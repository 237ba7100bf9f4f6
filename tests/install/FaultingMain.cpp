// A test build of a setup: the application of the deliverable, its platform
// calls wrapped as the environment asks (CallInjector.h), and the plan's test
// points (VELLORAN_FAULT_HOOK in the install process).
#include "app/InstallApp.h"
#include "tests/install/CallInjector.h"

CInstallApp theApp;

namespace {

const bool g_injected = InstallCallInjection();

}  // namespace
