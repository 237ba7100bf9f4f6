#include "engine/ExceptionEx.h"
#include "process/Firewall.h"
#include "tests/firewall/FakeFirewall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

const WCHAR PROGRAM[] = L"C:\\windows\\system32\\velloransrv.exe";
const WCHAR RULE_NAME[] = L"Velloran Service";

std::unique_ptr<CExceptionEx> Catch(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (CExceptionEx* e) {
        return std::unique_ptr<CExceptionEx>(e);
    }
    return nullptr;
}

// Runs creation and AuthorizeApplication as the install step does.
std::unique_ptr<CExceptionEx> Authorize(const WCHAR* path = PROGRAM, const WCHAR* name = RULE_NAME)
{
    return Catch([&] {
        CFirewall firewall;
        firewall.AuthorizeApplication(path, name);
    });
}

// True when the calling thread is in no COM apartment.
bool ThreadLeftCom()
{
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr))
        CoUninitialize();
    return hr == S_OK;
}

std::shared_ptr<FakeRuleState> Rule(const std::wstring& application, NET_FW_RULE_DIRECTION direction,
                                    const std::wstring& name = L"Someone's rule")
{
    auto rule = std::make_shared<FakeRuleState>();
    rule->name = name;
    rule->application = application;
    rule->direction = direction;
    rule->protocol = 17;
    rule->profiles = 2;
    rule->action = NET_FW_ACTION_BLOCK;
    rule->enabled = false;
    return rule;
}

void ExpectOurRule(const FakeRuleState& rule, const std::wstring& name, NET_FW_RULE_DIRECTION direction)
{
    EXPECT_EQ(rule.name, name);
    EXPECT_EQ(rule.description, name);
    EXPECT_EQ(rule.application, PROGRAM);
    EXPECT_EQ(rule.protocol, 6);
    EXPECT_EQ(rule.direction, direction);
    EXPECT_EQ(rule.profiles, 0x7FFFFFFF);
    EXPECT_EQ(rule.action, NET_FW_ACTION_ALLOW);
    EXPECT_TRUE(rule.enabled);
    // No port, address, interface or grouping: only the table's properties.
    std::vector<std::string> setters = rule.setters;
    std::sort(setters.begin(), setters.end());
    EXPECT_EQ(setters, (std::vector<std::string>{"Action", "ApplicationName", "Description", "Direction",
                                                 "Enabled", "Name", "Profiles", "Protocol"}));
}

class Firewall : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fakeFirewall = &world;
        FirewallCalls().CoCreateInstance = &FakeFirewallCreateInstance;
    }
    void TearDown() override
    {
        ResetFirewallCalls();
        EXPECT_EQ(FakeFirewallObjectsAlive(), 0) << "a fake firewall object was not released";
        EXPECT_TRUE(ThreadLeftCom());
        g_fakeFirewall = nullptr;
    }

    FakeFirewallWorld world;
};

HRESULT WINAPI RefuseComInit(LPVOID, DWORD)
{
    return E_OUTOFMEMORY;
}

}  // namespace

TEST_F(Firewall, NewSystemGetsTwoAllowRules)
{
    EXPECT_FALSE(Authorize());
    EXPECT_EQ(world.created, (std::vector<std::string>{"NetFwMgr", "NetFwPolicy2", "NetFwRule", "NetFwRule"}));
    ASSERT_EQ(world.rules.size(), 2u);
    ExpectOurRule(*world.rules[0], L"Velloran Service", NET_FW_RULE_DIR_IN);
    ExpectOurRule(*world.rules[1], L"Velloran Service (Out)", NET_FW_RULE_DIR_OUT);
}

TEST_F(Firewall, SecondRunEnablesTheRulesItFindsWithoutDuplicates)
{
    ASSERT_FALSE(Authorize());
    // The user disables the inbound rule and blocks the outbound one.
    world.rules[0]->enabled = false;
    world.rules[1]->action = NET_FW_ACTION_BLOCK;
    world.rules[0]->setters.clear();
    world.rules[1]->setters.clear();

    EXPECT_FALSE(Authorize());
    ASSERT_EQ(world.rules.size(), 2u);
    for (const auto& rule : world.rules) {
        EXPECT_TRUE(rule->enabled);
        EXPECT_EQ(rule->action, NET_FW_ACTION_ALLOW);
        EXPECT_EQ(rule->setters, (std::vector<std::string>{"Enabled", "Action"}));
    }
}

TEST_F(Firewall, OnlyAnExactPathAndDirectionMatch)
{
    // A user's rule for the program: its own name, protocol and profiles stay.
    auto mine = Rule(PROGRAM, NET_FW_RULE_DIR_OUT, L"Admin's rule");
    auto otherCase = Rule(L"C:\\Windows\\System32\\velloransrv.exe", NET_FW_RULE_DIR_IN);
    auto unreadable = Rule(PROGRAM, NET_FW_RULE_DIR_IN);
    unreadable->applicationReadable = false;
    auto prefix = Rule(L"C:\\windows\\system32\\velloransrv.exe.old", NET_FW_RULE_DIR_IN);
    world.rules = {otherCase, unreadable, prefix, mine};

    EXPECT_FALSE(Authorize());

    // Inbound: none of the three strangers matched, so one rule was added.
    ASSERT_EQ(world.rules.size(), 5u);
    ExpectOurRule(*world.rules[4], L"Velloran Service", NET_FW_RULE_DIR_IN);
    for (const auto& stranger : {otherCase, unreadable, prefix}) {
        EXPECT_FALSE(stranger->enabled);
        EXPECT_TRUE(stranger->setters.empty());
    }
    // Outbound: the admin's rule was switched on and nothing else of it changed.
    EXPECT_TRUE(mine->enabled);
    EXPECT_EQ(mine->action, NET_FW_ACTION_ALLOW);
    EXPECT_EQ(mine->name, L"Admin's rule");
    EXPECT_EQ(mine->protocol, 17);
    EXPECT_EQ(mine->profiles, 2);
}

TEST_F(Firewall, FindRuleTakesTheFirstMatch)
{
    auto first = Rule(PROGRAM, NET_FW_RULE_DIR_IN, L"first");
    auto second = Rule(PROGRAM, NET_FW_RULE_DIR_IN, L"second");
    world.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_OUT), first, second};
    CFirewall firewall;
    fw::CComPtr<INetFwPolicy2> policy;
    ASSERT_EQ(FakeFirewallCreateInstance({0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}},
                                         nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                                         policy.put_void()),
              S_OK);
    fw::CComPtr<INetFwRules> rules;
    ASSERT_EQ(policy->get_Rules(rules.put()), S_OK);

    fw::CComPtr<INetFwRule> found = firewall.FindRule(PROGRAM, NET_FW_RULE_DIR_IN, rules.get());
    ASSERT_TRUE(found);
    fw::CBstr name;
    found->get_Name(name.put());
    EXPECT_STREQ(name.get(), L"first");
    EXPECT_FALSE(firewall.FindRule(L"C:\\other.exe", NET_FW_RULE_DIR_IN, rules.get()));

    // An enumeration the firewall cannot give finds nothing.
    world.FailCall("get__NewEnum", E_NOTIMPL);
    EXPECT_FALSE(firewall.FindRule(PROGRAM, NET_FW_RULE_DIR_IN, rules.get()));
}

TEST_F(Firewall, WithoutEnumerationTheRulesAreStillAdded)
{
    world.FailCall("get__NewEnum", E_NOTIMPL);
    EXPECT_FALSE(Authorize());
    ASSERT_EQ(world.rules.size(), 2u);
    ExpectOurRule(*world.rules[1], L"Velloran Service (Out)", NET_FW_RULE_DIR_OUT);
}

TEST_F(Firewall, RulePathFailuresReportTheirSites)
{
    struct Case {
        const char* what;
        std::function<void(FakeFirewallWorld&)> arrange;
        int location;
        uint32_t code;
        size_t rulesAfter;
    };
    const HRESULT denied = E_ACCESSDENIED;
    const Case cases[] = {
        {"rules", [&](FakeFirewallWorld& w) { w.FailCall("get_Rules", denied); }, 421, 0x80070005u, 0},
        {"enable inbound",
         [&](FakeFirewallWorld& w) {
             w.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_IN)};
             w.rules[0]->enableResult = denied;
         },
         471, 0x80070005u, 1},
        {"allow inbound",
         [&](FakeFirewallWorld& w) {
             w.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_IN)};
             w.rules[0]->actionResult = denied;
         },
         479, 0x80070005u, 1},
        {"add inbound", [&](FakeFirewallWorld& w) { w.FailCall("Rules.Add", denied); }, 515, 0x8007000Eu, 0},
        {"enable outbound",
         [&](FakeFirewallWorld& w) {
             w.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_OUT)};
             w.rules[0]->enableResult = denied;
         },
         530, 0x80070005u, 2},
        {"allow outbound",
         [&](FakeFirewallWorld& w) {
             w.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_OUT)};
             w.rules[0]->actionResult = denied;
         },
         538, 0x80070005u, 2},
        // The inbound rule made before the failure stays.
        {"add outbound", [&](FakeFirewallWorld& w) { w.FailCall("Rules.Add", denied, 1); }, 574, 0x8007000Eu, 1},
        // Nothing would admit the program: said so, not reported as made.
        {"inbound rule object",
         [&](FakeFirewallWorld& w) { w.FailCall("create NetFwRule", REGDB_E_CLASSNOTREG); }, 490,
         0x80040154u, 0},
        {"outbound rule object",
         [&](FakeFirewallWorld& w) { w.FailCall("create NetFwRule", REGDB_E_CLASSNOTREG, 1); }, 549,
         0x80040154u, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world = FakeFirewallWorld();
        c.arrange(world);
        auto e = Authorize();
        ASSERT_TRUE(e);
        EXPECT_EQ(e->module, MODULE_FIREWALL);
        EXPECT_EQ(e->location, c.location);
        EXPECT_EQ(e->code, c.code);
        EXPECT_EQ(world.rules.size(), c.rulesAfter);
        EXPECT_EQ(FakeFirewallObjectsAlive(), 0);
        EXPECT_TRUE(ThreadLeftCom());
    }
}

TEST_F(Firewall, CreationFailuresReportTheirSites)
{
    struct Case {
        const char* call;
        int location;
    };
    for (const Case& c : {Case{"create NetFwMgr", 55}, Case{"get_LocalPolicy", 64}, Case{"get_CurrentProfile", 73}}) {
        SCOPED_TRACE(c.call);
        world = FakeFirewallWorld();
        world.FailCall(c.call, HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE));
        auto e = Catch([] { CFirewall firewall; });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->module, MODULE_FIREWALL);
        EXPECT_EQ(e->location, c.location);
        EXPECT_EQ(e->code, 0x80070426u);
        // COM entered by the failed creation is left again.
        EXPECT_TRUE(ThreadLeftCom());
        EXPECT_EQ(FakeFirewallObjectsAlive(), 0);
    }

    FirewallCalls().CoInitializeEx = &RefuseComInit;
    auto e = Catch([] { CFirewall firewall; });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->location, 39);
    EXPECT_EQ(e->code, static_cast<uint32_t>(E_OUTOFMEMORY));
}

TEST_F(Firewall, ThreadInAnotherApartmentKeepsIt)
{
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_FALSE(Authorize());
    EXPECT_EQ(world.rules.size(), 2u);
    // Still in the multithreaded apartment: CFirewall did not leave what it did not enter.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
}

TEST_F(Firewall, OlderSystemAuthorizesTheProgramInTheProfile)
{
    world.FailCall("create NetFwPolicy2", REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(Authorize());
    ASSERT_EQ(world.applications.size(), 1u);
    EXPECT_EQ(world.applications[0]->image, PROGRAM);
    EXPECT_EQ(world.applications[0]->name, L"Velloran Service");
    // Scope, IP version and enablement keep the firewall's defaults.
    EXPECT_EQ(world.applications[0]->setters, (std::vector<std::string>{"ProcessImageFileName", "Name"}));
    EXPECT_TRUE(world.rules.empty());

    // A second run only enables the entry it finds.
    world.applications[0]->enabled = false;
    world.applications[0]->setters.clear();
    EXPECT_FALSE(Authorize());
    ASSERT_EQ(world.applications.size(), 1u);
    EXPECT_TRUE(world.applications[0]->enabled);
    EXPECT_EQ(world.applications[0]->setters, std::vector<std::string>{"Enabled"});
}

TEST_F(Firewall, ProfilePathFailuresReportTheirSites)
{
    struct Case {
        const char* what;
        std::function<void(FakeFirewallWorld&)> arrange;
        int location;
        uint32_t code;
        const WCHAR* name;
    };
    const HRESULT denied = E_ACCESSDENIED;
    const Case cases[] = {
        {"applications", [&](FakeFirewallWorld& w) { w.FailCall("get_AuthorizedApplications", denied); }, 723,
         0x80070005u, RULE_NAME},
        {"enable",
         [&](FakeFirewallWorld& w) {
             auto app = std::make_shared<FakeApplicationState>();
             app->image = PROGRAM;
             app->enableResult = denied;
             w.applications = {app};
         },
         745, 0x8007000Eu, RULE_NAME},
        {"create", [&](FakeFirewallWorld& w) { w.FailCall("create NetFwAuthorizedApplication", denied); }, 763,
         0x80070005u, RULE_NAME},
        {"image", [&](FakeFirewallWorld& w) { w.FailCall("Application.put_ProcessImageFileName", denied); }, 772,
         0x80070005u, RULE_NAME},
        {"empty name", [](FakeFirewallWorld&) {}, 781, 0x8007000Eu, L""},
        {"name", [&](FakeFirewallWorld& w) { w.FailCall("Application.put_Name", denied); }, 790, 0x80070005u,
         RULE_NAME},
        {"add", [&](FakeFirewallWorld& w) { w.FailCall("Applications.Add", denied); }, 799, 0x80070005u,
         RULE_NAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world = FakeFirewallWorld();
        world.FailCall("create NetFwPolicy2", REGDB_E_CLASSNOTREG);
        c.arrange(world);
        auto e = Authorize(PROGRAM, c.name);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->module, MODULE_FIREWALL);
        EXPECT_EQ(e->location, c.location);
        EXPECT_EQ(e->code, c.code);
        EXPECT_EQ(FakeFirewallObjectsAlive(), 0);
    }
}

// Wine's own firewall objects: the rule collection cannot be enumerated
// there, so nothing is found and both rules are handed to Add.
TEST(FirewallOnWine, AuthorizesWithoutFailingOrCrashing)
{
    ResetFirewallCalls();
    auto e = Authorize();
    EXPECT_FALSE(e) << "location " << e->location << " code " << std::hex << e->code;

    CFirewall firewall;
    fw::CComPtr<INetFwPolicy2> policy;
    ASSERT_EQ(CoCreateInstance({0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}},
                               nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2), policy.put_void()),
              S_OK);
    fw::CComPtr<INetFwRules> rules;
    ASSERT_EQ(policy->get_Rules(rules.put()), S_OK);
    EXPECT_FALSE(firewall.FindRule(PROGRAM, NET_FW_RULE_DIR_IN, rules.get()));
}
