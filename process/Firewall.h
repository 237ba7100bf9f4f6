// Placeholder: CFirewall (Windows Firewall rules for the service program) lands here.
#pragma once
