#include "process/Firewall.h"
