// The one application object of a setup program; the framework's WinMain runs it.
#include "app/InstallApp.h"

CInstallApp theApp;
