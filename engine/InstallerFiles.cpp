#include "engine/Installer.h"
