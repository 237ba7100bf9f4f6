// Windows Firewall admission of the product's service program: two allow
// rules (inbound and outbound) where the rule-based interface exists, an
// authorized application of the current profile on older systems.
#pragma once

#include "framework/Handles.h"

#include <windows.h>
#include <objbase.h>
#include <netfw.h>

// The COM calls through which CFirewall reaches the firewall's objects. They
// point at the real functions; tests swap entries so that objects of their
// own stand in for the firewall's. CFirewall does not know whether an entry
// was swapped.
struct FirewallPlatformCalls {
    decltype(&::CoInitializeEx) CoInitializeEx;
    decltype(&::CoCreateInstance) CoCreateInstance;
};

FirewallPlatformCalls& FirewallCalls();
void ResetFirewallCalls();

class CFirewall {
public:
    // Enters COM on the calling thread and opens the current profile and,
    // where it exists, the rule policy. Throws CExceptionEx (module 26).
    CFirewall();
    // Releases the interfaces; leaves COM when creation entered it.
    virtual ~CFirewall();

    CFirewall(const CFirewall&) = delete;
    CFirewall& operator=(const CFirewall&) = delete;

    // Admits the program: enables and allows its existing rules or
    // authorized application, or adds them under the given name.
    // Throws CExceptionEx (module 26).
    void AuthorizeApplication(const WCHAR* path, const WCHAR* name);

    // The first rule of the collection for exactly this program path
    // (case-sensitive) and direction, or none.
    fw::CComPtr<INetFwRule> FindRule(const WCHAR* path, NET_FW_RULE_DIRECTION direction,
                                     INetFwRules* rules);

private:
    // Leaves COM on destruction when entering succeeded; declared first so
    // that the interfaces are released before.
    class CComEntry {
    public:
        CComEntry() = default;
        ~CComEntry();
        CComEntry(const CComEntry&) = delete;
        CComEntry& operator=(const CComEntry&) = delete;
        HRESULT result = E_FAIL;
    };

    void AuthorizeByRules(const WCHAR* path, const WCHAR* name);
    void AuthorizeInProfile(const WCHAR* path, const WCHAR* name);

    CComEntry m_comResult;
    fw::CComPtr<INetFwProfile> m_pProfile;
    fw::CComPtr<INetFwPolicy2> m_pPolicy2;  // null without the rule-based interface
};
