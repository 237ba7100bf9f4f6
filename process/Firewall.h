// Windows Firewall admission of the product's service program: two allow
// rules (inbound and outbound) where the rule-based interface exists, an
// authorized application of the current profile on older systems.
#pragma once

#include "engine/JournalRecord.h"
#include "framework/Handles.h"

#include <windows.h>
#include <objbase.h>
#include <netfw.h>

#include <cstdint>
#include <functional>
#include <string>

// One change CFirewall makes to the firewall is a FirewallChange, as the
// installer's journal keeps it: a rollback, in this run or in a later one
// after this run was killed, hands it back to CFirewall::UndoChange. Its
// `name` is the rule's name (RULE_*) or the application's
// (APPLICATION_ADDED), `path` the program, `direction` the rule's
// NET_FW_RULE_DIRECTION, and the previous state that of an existing entry
// (*_CHANGED). The COM calls go through the engine's table of platform calls.

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
