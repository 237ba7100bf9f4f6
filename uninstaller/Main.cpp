// The one application object of the uninstaller; the framework's WinMain
// runs it (after restricting the library search to the system folder).
#include "uninstaller/UninstallApp.h"

CUninstallApp theApp;
