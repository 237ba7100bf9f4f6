// Firewall objects of our own that stand in for the platform's: a manager,
// policies, the current profile with its authorized applications, and a rule
// collection that really enumerates. They all act on one FakeFirewallWorld,
// which the tests set up and read back.
#pragma once

#include <windows.h>
#include <netfw.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

struct FakeRuleState {
    std::wstring name;
    std::wstring description;
    std::wstring application;
    bool applicationReadable = true;  // get_ApplicationName fails when false
    LONG protocol = 0;
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
    LONG profiles = 0;
    NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
    bool enabled = false;
    HRESULT enableResult = S_OK;  // what put_Enabled answers
    HRESULT actionResult = S_OK;  // what put_Action answers
    std::vector<std::string> setters;  // the properties set, in order
};

struct FakeApplicationState {
    std::wstring name;
    std::wstring image;
    bool enabled = true;  // the firewall's default
    HRESULT enableResult = S_OK;
    std::vector<std::string> setters;
};

struct FakeFirewallWorld {
    // Rules and authorized applications as the firewall holds them.
    std::vector<std::shared_ptr<FakeRuleState>> rules;
    std::vector<std::shared_ptr<FakeApplicationState>> applications;

    // Calls that fail: the name (see Fail's callers in FakeFirewall.cpp, e.g.
    // "create NetFwPolicy2", "get_Rules", "Rules.Add", "Rules.Remove") and the result, after
    // `skip` calls that succeed.
    struct Failure {
        HRESULT result;
        int skip;
    };
    std::map<std::string, Failure> failures;

    // Classes created through the fake CoCreateInstance, in order.
    std::vector<std::string> created;

    void FailCall(const std::string& call, HRESULT result, int skip = 0)
    {
        failures[call] = Failure{result, skip};
    }
    HRESULT Answer(const std::string& call);
};

// The world the fakes act on; set by the test before CFirewall is made.
extern FakeFirewallWorld* g_fakeFirewall;

// Stands in for CoCreateInstance: creates fake objects of the four firewall
// classes, refuses anything else.
HRESULT WINAPI FakeFirewallCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                          LPVOID* out);

// Fake objects not yet released.
long FakeFirewallObjectsAlive();
