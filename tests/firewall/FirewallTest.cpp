#include "engine/ExceptionEx.h"
#include "engine/PlatformCalls.h"
#include "process/Firewall.h"
#include "tests/firewall/FakeFirewall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
        EngineCalls().CoCreateInstance = &FakeFirewallCreateInstance;
    }
    void TearDown() override
    {
        ResetEngineCalls();
        EXPECT_EQ(FakeFirewallObjectsAlive(), 0) << "a fake firewall object was not released";
        EXPECT_TRUE(ThreadLeftCom());
        g_fakeFirewall = nullptr;
    }

    FakeFirewallWorld world;
};

// What a user sees of the firewall: each rule and application with its
// settings, in order.
std::vector<std::wstring> Visible(const FakeFirewallWorld& w)
{
    std::vector<std::wstring> items;
    for (const auto& r : w.rules)
        items.push_back(L"rule " + r->name + L"|" + r->application + L"|dir " + std::to_wstring(r->direction) +
                        L"|protocol " + std::to_wstring(r->protocol) + L"|profiles " +
                        std::to_wstring(r->profiles) + L"|action " + std::to_wstring(r->action) +
                        (r->enabled ? L"|on" : L"|off"));
    for (const auto& a : w.applications)
        items.push_back(L"application " + a->name + L"|" + a->image + (a->enabled ? L"|on" : L"|off"));
    return items;
}

std::wstring W(const std::u16string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::u16string U(const std::wstring& text)
{
    return std::u16string(text.begin(), text.end());
}

std::wstring Describe(const FirewallChange& c)
{
    return std::to_wstring(c.kind) + L"|" + W(c.name) + L"|" + W(c.path) + L"|dir " + std::to_wstring(c.direction) +
           L"|enabled " + std::to_wstring(c.previousEnabled) + L"|action " + std::to_wstring(c.previousAction);
}

// The changes AuthorizeApplication reported, each with the world as it was
// when it was reported. The report numbered throwAt fails as a journal that
// cannot be written does.
struct Journal {
    std::vector<FirewallChange> changes;
    std::vector<std::vector<std::wstring>> worldThen;
    const CExceptionEx* thrown = nullptr;
    std::vector<std::wstring> Described() const
    {
        std::vector<std::wstring> described;
        for (const auto& c : changes)
            described.push_back(Describe(c));
        return described;
    }
};

constexpr uint16_t JOURNAL_LOCATION = 4242;

std::unique_ptr<CExceptionEx> AuthorizeRecording(FakeFirewallWorld& world, Journal& journal,
                                                 size_t throwAt = SIZE_MAX)
{
    return Catch([&] {
        CFirewall firewall;
        firewall.AuthorizeApplication(PROGRAM, RULE_NAME, [&](const FirewallChange& change) {
            journal.changes.push_back(change);
            journal.worldThen.push_back(Visible(world));
            if (journal.changes.size() - 1 == throwAt) {
                auto* failure = new CExceptionEx(MODULE_INSTALLER, JOURNAL_LOCATION, ERROR_DISK_FULL);
                journal.thrown = failure;
                throw failure;
            }
        });
    });
}

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
        {"inbound state",
         [&](FakeFirewallWorld& w) {
             w.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_IN)};
             w.FailCall("Rule.get_Enabled", denied);
         },
         465, 0x80070005u, 1},
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
        {"outbound state",
         [&](FakeFirewallWorld& w) {
             w.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_OUT)};
             w.FailCall("Rule.get_Action", denied);
         },
         524, 0x80070005u, 2},
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

    EngineCalls().CoInitializeEx = &RefuseComInit;
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
        {"state",
         [&](FakeFirewallWorld& w) {
             auto app = std::make_shared<FakeApplicationState>();
             app->image = PROGRAM;
             w.applications = {app};
             w.FailCall("Application.get_Enabled", denied);
         },
         740, 0x80070005u, RULE_NAME},
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

std::shared_ptr<FakeApplicationState> Application(const std::wstring& image, bool enabled)
{
    auto application = std::make_shared<FakeApplicationState>();
    application->name = L"Admin's entry";
    application->image = image;
    application->enabled = enabled;
    return application;
}

// Undoes the journal's changes last first; after each the world is as it was
// when that change was reported.
void UndoAll(const FakeFirewallWorld& world, const Journal& journal)
{
    for (size_t i = journal.changes.size(); i-- > 0;) {
        SCOPED_TRACE(i);
        EXPECT_EQ(CFirewall::UndoChange(journal.changes[i]), S_OK);
        EXPECT_EQ(Visible(world), journal.worldThen[i]);
    }
}

TEST_F(Firewall, EachChangeIsReportedBeforeItIsMadeAndUndoneExactly)
{
    const std::wstring program = PROGRAM;
    struct Case {
        const char* what;
        std::function<void(FakeFirewallWorld&)> arrange;
        std::vector<std::wstring> changes;
    };
    const Case cases[] = {
        {"new system", [](FakeFirewallWorld&) {},
         {L"1|Velloran Service|" + program + L"|dir 1|enabled 0|action 0",
          L"1|Velloran Service (Out)|" + program + L"|dir 2|enabled 0|action 0"}},
        {"rules switched off or blocking",
         [](FakeFirewallWorld& w) {
             w.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_OUT, L"Admin's out"), Rule(L"C:\\other.exe", NET_FW_RULE_DIR_IN),
                        Rule(PROGRAM, NET_FW_RULE_DIR_IN, L"Admin's in")};
             w.rules[0]->enabled = true;
         },
         {L"2|Admin's in|" + program + L"|dir 1|enabled 0|action 0",
          L"2|Admin's out|" + program + L"|dir 2|enabled 1|action 0"}},
        {"inbound rule already admits, outbound missing",
         [](FakeFirewallWorld& w) {
             w.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_IN, L"Admin's in")};
             w.rules[0]->enabled = true;
             w.rules[0]->action = NET_FW_ACTION_ALLOW;
         },
         {L"2|Admin's in|" + program + L"|dir 1|enabled 1|action 1",
          L"1|Velloran Service (Out)|" + program + L"|dir 2|enabled 0|action 0"}},
        {"older system", [](FakeFirewallWorld& w) { w.FailCall("create NetFwPolicy2", REGDB_E_CLASSNOTREG); },
         {L"3|Velloran Service|" + program + L"|dir 0|enabled 0|action 0"}},
        {"older system, entry switched off",
         [](FakeFirewallWorld& w) {
             w.FailCall("create NetFwPolicy2", REGDB_E_CLASSNOTREG);
             w.applications = {Application(L"C:\\other.exe", false), Application(PROGRAM, false)};
         },
         {L"4||" + program + L"|dir 0|enabled 0|action 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world = FakeFirewallWorld();
        c.arrange(world);
        const std::vector<std::wstring> before = Visible(world);

        Journal journal;
        ASSERT_FALSE(AuthorizeRecording(world, journal));
        EXPECT_EQ(journal.Described(), c.changes);
        ASSERT_EQ(journal.worldThen.size(), c.changes.size());
        EXPECT_EQ(journal.worldThen[0], before);
        EXPECT_NE(Visible(world), before);

        UndoAll(world, journal);
        EXPECT_EQ(Visible(world), before);
        // Undo steps run again after a rollback that was itself cut short.
        for (size_t i = journal.changes.size(); i-- > 0;)
            EXPECT_EQ(CFirewall::UndoChange(journal.changes[i]), S_OK);
        EXPECT_EQ(Visible(world), before);
        EXPECT_EQ(FakeFirewallObjectsAlive(), 0);
        EXPECT_TRUE(ThreadLeftCom());
    }
}

TEST_F(Firewall, AChangeThatCannotBeRecordedIsNotMade)
{
    struct Case {
        const char* what;
        std::function<void(FakeFirewallWorld&)> arrange;
        size_t throwAt;
        uint16_t location;  // of the failure that stops the step
        size_t reported;
    };
    const Case cases[] = {
        {"inbound rule", [](FakeFirewallWorld&) {}, 0, JOURNAL_LOCATION, 1},
        {"outbound rule", [](FakeFirewallWorld&) {}, 1, JOURNAL_LOCATION, 2},
        {"existing rule",
         [](FakeFirewallWorld& w) { w.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_IN)}; }, 0, JOURNAL_LOCATION, 1},
        // Without the previous state no exact record can be written.
        {"existing rule's state unreadable",
         [](FakeFirewallWorld& w) {
             w.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_IN)};
             w.FailCall("Rule.get_Enabled", E_ACCESSDENIED);
         },
         SIZE_MAX, 465, 0},
        {"new application",
         [](FakeFirewallWorld& w) { w.FailCall("create NetFwPolicy2", REGDB_E_CLASSNOTREG); }, 0,
         JOURNAL_LOCATION, 1},
        {"existing application",
         [](FakeFirewallWorld& w) {
             w.FailCall("create NetFwPolicy2", REGDB_E_CLASSNOTREG);
             w.applications = {Application(PROGRAM, false)};
         },
         0, JOURNAL_LOCATION, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world = FakeFirewallWorld();
        c.arrange(world);
        const std::vector<std::wstring> before = Visible(world);

        Journal journal;
        auto e = AuthorizeRecording(world, journal, c.throwAt);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->location, c.location);
        // The journal's own failure reaches the caller as it was thrown.
        if (c.location == JOURNAL_LOCATION)
            EXPECT_EQ(e.get(), journal.thrown);
        else
            EXPECT_EQ(e->module, MODULE_FIREWALL);
        ASSERT_EQ(journal.changes.size(), c.reported);
        // Everything up to the failing report stays, nothing after it is made.
        EXPECT_EQ(Visible(world), c.reported > 0 ? journal.worldThen.back() : before);
        UndoAll(world, journal);
        EXPECT_EQ(Visible(world), before);
        EXPECT_EQ(FakeFirewallObjectsAlive(), 0);
    }
}

TEST_F(Firewall, UndoRemovesOnlyOurRuleOfTheName)
{
    // Another program's rules carry our names, and are listed first.
    world.rules = {Rule(L"C:\\other.exe", NET_FW_RULE_DIR_IN, RULE_NAME),
                   Rule(L"C:\\other.exe", NET_FW_RULE_DIR_OUT, L"Velloran Service (Out)")};
    const std::vector<std::wstring> before = Visible(world);
    Journal journal;
    ASSERT_FALSE(AuthorizeRecording(world, journal));
    ASSERT_EQ(world.rules.size(), 4u);
    const std::vector<std::wstring> admitted = Visible(world);

    // A removal that fails leaves our rule as it was, to be found next time.
    world.FailCall("Rules.Remove", E_ACCESSDENIED);
    EXPECT_EQ(CFirewall::UndoChange(journal.changes[1]), E_ACCESSDENIED);
    EXPECT_EQ(Visible(world), admitted);
    world.failures.clear();

    UndoAll(world, journal);
    EXPECT_EQ(Visible(world), before);
}

TEST_F(Firewall, UndoFailuresAreReturned)
{
    FirewallChange added;
    added.kind = FirewallChange::RULE_ADDED;
    added.name = U(RULE_NAME);
    added.path = U(PROGRAM);
    added.direction = NET_FW_RULE_DIR_IN;
    FirewallChange changed = added;
    changed.kind = FirewallChange::RULE_CHANGED;
    changed.previousEnabled = 0;
    changed.previousAction = NET_FW_ACTION_BLOCK;
    FirewallChange application;
    application.kind = FirewallChange::APPLICATION_ADDED;
    application.path = U(PROGRAM);
    FirewallChange unknown = added;
    unknown.kind = static_cast<FirewallChange::Kind>(9);

    struct Case {
        const char* what;
        const FirewallChange& change;
        std::function<void(FakeFirewallWorld&)> arrange;
        HRESULT result;
    };
    const HRESULT denied = E_ACCESSDENIED;
    const Case cases[] = {
        {"remove rule", added, [&](FakeFirewallWorld& w) { w.FailCall("Rules.Remove", denied); }, denied},
        {"rules", changed, [&](FakeFirewallWorld& w) { w.FailCall("get_Rules", denied); }, denied},
        // The rule we switched on cannot be found again.
        {"enumeration", changed, [](FakeFirewallWorld& w) { w.FailCall("get__NewEnum", E_NOTIMPL); }, E_NOTIMPL},
        {"put back", changed, [&](FakeFirewallWorld& w) { w.rules[0]->enableResult = denied; }, denied},
        {"remove application", application,
         [&](FakeFirewallWorld& w) { w.FailCall("Applications.Remove", denied); }, denied},
        {"firewall", application,
         [](FakeFirewallWorld& w) { w.FailCall("create NetFwMgr", HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE)); },
         HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE)},
        {"unknown record", unknown, [](FakeFirewallWorld&) {}, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world = FakeFirewallWorld();
        world.rules = {Rule(PROGRAM, NET_FW_RULE_DIR_IN, RULE_NAME)};
        world.rules[0]->enabled = true;
        world.rules[0]->action = NET_FW_ACTION_ALLOW;
        world.applications = {Application(PROGRAM, true)};
        c.arrange(world);
        const std::vector<std::wstring> before = Visible(world);

        EXPECT_EQ(CFirewall::UndoChange(c.change), c.result);
        EXPECT_EQ(Visible(world), before);
        EXPECT_EQ(FakeFirewallObjectsAlive(), 0);
        EXPECT_TRUE(ThreadLeftCom());
    }

    // Without an enumeration a rule we added is removed by its name, which
    // carries the product's service name.
    world = FakeFirewallWorld();
    world.FailCall("get__NewEnum", E_NOTIMPL);
    Journal journal;
    ASSERT_FALSE(AuthorizeRecording(world, journal));
    ASSERT_EQ(world.rules.size(), 2u);
    UndoAll(world, journal);
    EXPECT_TRUE(world.rules.empty());
}

// Wine's own firewall objects: the rule collection cannot be enumerated
// there, so nothing is found, both rules are handed to Add, and their undo
// removes them by name.
TEST(FirewallOnWine, AuthorizesAndUndoesWithoutFailingOrCrashing)
{
    ResetEngineCalls();
    std::vector<FirewallChange> changes;
    auto e = Catch([&] {
        CFirewall firewall;
        firewall.AuthorizeApplication(PROGRAM, RULE_NAME, [&](const FirewallChange& c) { changes.push_back(c); });
    });
    EXPECT_FALSE(e) << "location " << e->location << " code " << std::hex << e->code;
    ASSERT_EQ(changes.size(), 2u);
    for (size_t i = changes.size(); i-- > 0;) {
        EXPECT_EQ(changes[i].kind, FirewallChange::RULE_ADDED);
        EXPECT_EQ(CFirewall::UndoChange(changes[i]), S_OK);
    }

    CFirewall firewall;
    fw::CComPtr<INetFwPolicy2> policy;
    ASSERT_EQ(CoCreateInstance({0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}},
                               nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2), policy.put_void()),
              S_OK);
    fw::CComPtr<INetFwRules> rules;
    ASSERT_EQ(policy->get_Rules(rules.put()), S_OK);
    EXPECT_FALSE(firewall.FindRule(PROGRAM, NET_FW_RULE_DIR_IN, rules.get()));
}
