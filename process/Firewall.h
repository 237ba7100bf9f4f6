// Windows Firewall admission of the product's service program: two allow
// rules (inbound and outbound) where the rule-based interface exists, an
// authorized application of the current profile on older systems.
#pragma once

#include "framework/Handles.h"

#include <windows.h>
#include <objbase.h>
#include <netfw.h>

#include <cstdint>
#include <functional>
#include <string>

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

// One change CFirewall makes to the firewall, as the installer's journal
// keeps it: a rollback, in this run or in a later one after this run was
// killed, hands it back to CFirewall::UndoChange. Plain fields only, so that
// the journal can write them as they are.
struct FirewallChange {
    enum Kind : int32_t {
        RULE_ADDED = 1,           // a new rule `name` for path and direction
        RULE_CHANGED = 2,         // the existing rule `name` switched on and to allow
        APPLICATION_ADDED = 3,    // a new authorized application for path
        APPLICATION_CHANGED = 4,  // the existing authorized application for path switched on
    };
    Kind kind = RULE_ADDED;
    std::wstring name;            // the rule's name (RULE_*); the application's (APPLICATION_ADDED)
    std::wstring path;            // the program
    int32_t direction = 0;        // NET_FW_RULE_DIRECTION (RULE_*)
    int32_t previousEnabled = 0;  // 0 or 1 before the change (*_CHANGED)
    int32_t previousAction = 0;   // NET_FW_ACTION before the change (RULE_CHANGED)
};

// Told of each change before it is made. It throws (CExceptionEx*) when the
// change cannot be recorded; the change is then not made.
using FirewallChangeCallback = std::function<void(const FirewallChange&)>;

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
    // beforeChange is called with each change right before it is made; what
    // it throws goes on to the caller as it is, and nothing more is changed.
    // Throws CExceptionEx (module 26).
    void AuthorizeApplication(const WCHAR* path, const WCHAR* name,
                              const FirewallChangeCallback& beforeChange);
    // The same for a caller that keeps no record of the changes.
    void AuthorizeApplication(const WCHAR* path, const WCHAR* name);

    // Takes one change back: removes the rule or application it added, puts
    // back the state of one it switched on. Opens the firewall itself, so a
    // later process can undo the changes of a killed one. A change already
    // undone, or whose rule or application is gone, is undone (S_OK).
    // Returns the failure; never throws.
    static HRESULT UndoChange(const FirewallChange& change);

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

    void AuthorizeByRules(const WCHAR* path, const WCHAR* name, const FirewallChangeCallback& beforeChange);
    void AuthorizeInProfile(const WCHAR* path, const WCHAR* name, const FirewallChangeCallback& beforeChange);
    HRESULT Undo(const FirewallChange& change);

    CComEntry m_comResult;
    fw::CComPtr<INetFwProfile> m_pProfile;
    fw::CComPtr<INetFwPolicy2> m_pPolicy2;  // null without the rule-based interface
    HRESULT m_policy2Result = E_FAIL;       // why m_pPolicy2 is null
};
