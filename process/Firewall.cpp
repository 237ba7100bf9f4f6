#include "process/Firewall.h"

#include "engine/ExceptionEx.h"
#include "engine/PlatformCalls.h"

#include <oleauto.h>

#include <cwchar>
#include <memory>
#include <new>
#include <utility>

namespace {

// Creation.
constexpr int LOC_COM_INIT = 39;
constexpr int LOC_CREATE_MANAGER = 55;
constexpr int LOC_LOCAL_POLICY = 64;
constexpr int LOC_CURRENT_PROFILE = 73;
// Rule path.
constexpr int LOC_GET_RULES = 421;
constexpr int LOC_PATH_STRING = 430;
constexpr int LOC_OUTBOUND_NAME = 438;
constexpr int LOC_NAME_STRING = 449;
// Profile path.
constexpr int LOC_AUTHORIZED_APPLICATIONS = 723;
constexpr int LOC_PROFILE_PATH_STRING = 732;
constexpr int LOC_APPLICATION_STATE = 740;  // existing application: get_Enabled
constexpr int LOC_ENABLE_APPLICATION = 745;
constexpr int LOC_CREATE_APPLICATION = 763;
constexpr int LOC_APPLICATION_IMAGE = 772;
constexpr int LOC_APPLICATION_NAME_STRING = 781;
constexpr int LOC_APPLICATION_NAME = 790;
constexpr int LOC_ADD_APPLICATION = 799;

// The sites of one direction of the rule path.
struct RuleSites {
    int state;   // existing rule: get_Name, get_Enabled, get_Action
    int enable;  // existing rule: put_Enabled
    int action;  // existing rule: put_Action
    int create;  // new rule object
    int add;     // new rule: INetFwRules::Add
};
constexpr RuleSites INBOUND_SITES = {465, 471, 479, 490, 515};
constexpr RuleSites OUTBOUND_SITES = {524, 530, 538, 549, 574};

constexpr DWORD COM_APARTMENT = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE;  // 0x6
const WCHAR OUTBOUND_SUFFIX[] = L" (Out)";

const CLSID CLASS_NET_FW_MGR = {
    0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
const CLSID CLASS_NET_FW_POLICY2 = {
    0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
const CLSID CLASS_NET_FW_AUTHORIZED_APPLICATION = {
    0xEC9846B3, 0x2762, 0x4A6B, {0xA2, 0x14, 0x6A, 0xCB, 0x60, 0x34, 0x62, 0xD2}};
const CLSID CLASS_NET_FW_RULE = {
    0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}};

[[noreturn]] void Throw(int location, HRESULT code)
{
    ThrowExceptionEx(MODULE_FIREWALL, location, static_cast<uint32_t>(code));
}

// A call that claims success but hands back no object failed all the same.
HRESULT Failure(HRESULT hr)
{
    return FAILED(hr) ? hr : E_POINTER;
}

template <typename T>
HRESULT CreateObject(const CLSID& clsid, fw::CComPtr<T>& object)
{
    const HRESULT hr = EngineCalls().CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                        __uuidof(T), object.put_void());
    return SUCCEEDED(hr) && !object ? E_POINTER : hr;
}

// The rule name followed by " (Out)", in one allocation.
BSTR MakeOutboundName(const WCHAR* name)
{
    if (name == nullptr)
        return nullptr;
    const size_t nameLength = wcslen(name);
    const size_t suffixLength = wcslen(OUTBOUND_SUFFIX);
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(nameLength + suffixLength));
    if (result != nullptr) {
        wmemcpy(result, name, nameLength);
        wmemcpy(result + nameLength, OUTBOUND_SUFFIX, suffixLength + 1);
    }
    return result;
}

class CVariant {
public:
    CVariant() { VariantInit(&value); }
    ~CVariant() { VariantClear(&value); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
    VARIANT value;
};

bool SameText(BSTR candidate, const WCHAR* text, size_t length)
{
    return SysStringLen(candidate) == length && wmemcmp(candidate, text, length) == 0;
}

std::u16string Text(BSTR text)
{
    return text != nullptr ? std::u16string(reinterpret_cast<const char16_t*>(text), SysStringLen(text))
                           : std::u16string();
}

BSTR AllocString(const std::u16string& text)
{
    return SysAllocStringLen(reinterpret_cast<const WCHAR*>(text.data()), static_cast<UINT>(text.size()));
}

const WCHAR* Units(const std::u16string& text)
{
    return reinterpret_cast<const WCHAR*>(text.data());
}

// The enumeration of the rule collection; Wine's collection has none.
HRESULT OpenRules(INetFwRules* rules, fw::CComPtr<IEnumVARIANT>& items)
{
    fw::CComPtr<IUnknown> enumerator;
    HRESULT hr = rules->get__NewEnum(enumerator.put());
    if (FAILED(hr) || !enumerator)
        return Failure(hr);
    hr = enumerator->QueryInterface(IID_IEnumVARIANT, items.put_void());
    return FAILED(hr) || !items ? Failure(hr) : S_OK;
}

// Hands each rule to visit(fw::CComPtr<INetFwRule>&), which may keep it and
// returns false to stop. Fails when a rule cannot be fetched.
template <typename Visit>
HRESULT WalkRules(IEnumVARIANT* items, Visit&& visit)
{
    for (;;) {
        CVariant item;
        ULONG fetched = 0;
        HRESULT hr = items->Next(1, &item.value, &fetched);
        if (FAILED(hr))
            return hr;
        if (hr != S_OK || fetched != 1)
            return S_OK;
        hr = VariantChangeType(&item.value, &item.value, 0, VT_DISPATCH);
        if (FAILED(hr) || item.value.pdispVal == nullptr)
            return Failure(hr);
        fw::CComPtr<INetFwRule> rule;
        hr = item.value.pdispVal->QueryInterface(__uuidof(INetFwRule), rule.put_void());
        if (FAILED(hr) || !rule)
            return Failure(hr);
        if (!visit(rule))
            return S_OK;
    }
}

// A rule whose program cannot be read belongs to someone else as far as we
// can tell: matching it by direction alone would enable a stranger's rule.
bool RuleIsFor(INetFwRule* rule, const WCHAR* path, size_t pathLength, NET_FW_RULE_DIRECTION direction)
{
    fw::CBstr application;
    if (FAILED(rule->get_ApplicationName(application.put())) || application.get() == nullptr ||
        !SameText(application.get(), path, pathLength))
        return false;
    NET_FW_RULE_DIRECTION ruleDirection = NET_FW_RULE_DIR_MAX;
    return SUCCEEDED(rule->get_Direction(&ruleDirection)) && ruleDirection == direction;
}

// The name for ours alone when another rule carries its name: Remove takes a
// name and might take the other rule.
BSTR MakeUniqueName(const std::u16string& name)
{
    GUID guid{};
    WCHAR text[40] = {};
    if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 40) == 0)
        return nullptr;
    return AllocString(name + u" " + reinterpret_cast<const char16_t*>(text));
}

// Takes back a rule change: the rule of that name for the program and
// direction is removed or gets its previous state back.
HRESULT UndoRule(INetFwRules* rules, const FirewallChange& change)
{
    fw::CBstr name(AllocString(change.name));
    if (name.get() == nullptr)
        return E_OUTOFMEMORY;

    fw::CComPtr<IEnumVARIANT> items;
    const HRESULT opened = OpenRules(rules, items);
    if (FAILED(opened)) {
        // Rules we changed were found through the enumeration, so it
        // existed then. A rule we added cannot be told from another of its
        // name without it (Wine); its name carries the product's service
        // name, so it is taken to be ours.
        return change.kind == FirewallChange::RULE_ADDED ? rules->Remove(name.get()) : opened;
    }

    const size_t pathLength = change.path.size();
    const auto direction = static_cast<NET_FW_RULE_DIRECTION>(change.direction);
    fw::CComPtr<INetFwRule> ours;
    bool nameShared = false;
    const HRESULT walked = WalkRules(items.get(), [&](fw::CComPtr<INetFwRule>& rule) {
        fw::CBstr ruleName;
        const bool named = SUCCEEDED(rule->get_Name(ruleName.put()));
        if (named && SameText(ruleName.get(), Units(change.name), change.name.size()) && !ours &&
            RuleIsFor(rule.get(), Units(change.path), pathLength, direction))
            ours = std::move(rule);
        else if (!named || SameText(ruleName.get(), Units(change.name), change.name.size()))
            nameShared = true;
        return true;
    });
    if (FAILED(walked))
        return walked;
    if (!ours)
        return S_OK;  // already undone, or removed by someone else

    if (change.kind == FirewallChange::RULE_CHANGED) {
        const HRESULT hr = ours->put_Enabled(change.previousEnabled != 0 ? VARIANT_TRUE : VARIANT_FALSE);
        if (FAILED(hr))
            return hr;
        return ours->put_Action(static_cast<NET_FW_ACTION>(change.previousAction));
    }
    if (!nameShared)
        return rules->Remove(name.get());
    fw::CBstr unique(MakeUniqueName(change.name));
    if (unique.get() == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = ours->put_Name(unique.get());
    if (FAILED(hr))
        return hr;
    hr = rules->Remove(unique.get());
    // Named as before, a later attempt finds it again.
    if (FAILED(hr))
        ours->put_Name(name.get());
    return hr;
}

// Takes back an authorized application change.
HRESULT UndoApplication(INetFwAuthorizedApplications* applications, const FirewallChange& change)
{
    fw::CBstr path(AllocString(change.path));
    if (path.get() == nullptr)
        return E_OUTOFMEMORY;
    fw::CComPtr<INetFwAuthorizedApplication> application;
    HRESULT hr = applications->Item(path.get(), application.put());
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        return S_OK;  // already undone, or removed by someone else
    if (FAILED(hr) || !application)
        return Failure(hr);
    if (change.kind == FirewallChange::APPLICATION_ADDED)
        return applications->Remove(path.get());
    return application->put_Enabled(change.previousEnabled != 0 ? VARIANT_TRUE : VARIANT_FALSE);
}

// Enables and allows the program's rule for one direction, or adds it.
void AdmitDirection(CFirewall& firewall, INetFwRules* rules, BSTR path, BSTR ruleName,
                    NET_FW_RULE_DIRECTION direction, const RuleSites& sites,
                    const FirewallChangeCallback& beforeChange)
{
    FirewallChange change;
    change.path = Text(path);
    change.direction = direction;
    fw::CComPtr<INetFwRule> rule = firewall.FindRule(path, direction, rules);
    if (rule) {
        // Without the state it replaces the change could not be taken back exactly.
        fw::CBstr existingName;
        VARIANT_BOOL enabled = VARIANT_FALSE;
        NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
        HRESULT hr = rule->get_Name(existingName.put());
        if (SUCCEEDED(hr))
            hr = rule->get_Enabled(&enabled);
        if (SUCCEEDED(hr))
            hr = rule->get_Action(&action);
        if (FAILED(hr))
            Throw(sites.state, hr);
        change.kind = FirewallChange::RULE_CHANGED;
        change.name = Text(existingName.get());
        change.previousEnabled = enabled != VARIANT_FALSE ? 1 : 0;
        change.previousAction = action;
        beforeChange(change);

        // Only switched on again: the user's other settings of the rule stay.
        hr = rule->put_Enabled(VARIANT_TRUE);
        if (FAILED(hr))
            Throw(sites.enable, hr);
        hr = rule->put_Action(NET_FW_ACTION_ALLOW);
        if (FAILED(hr))
            Throw(sites.action, hr);
        return;
    }

    // Without a rule object nothing would admit the program; saying so
    // beats reporting rules that were never made.
    const HRESULT created = CreateObject(CLASS_NET_FW_RULE, rule);
    if (FAILED(created))
        Throw(sites.create, created);
    // The setters' results are not examined: Add refuses a rule the
    // firewall cannot take.
    rule->put_Name(ruleName);
    rule->put_Description(ruleName);
    rule->put_ApplicationName(path);
    rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP);
    rule->put_Direction(direction);
    rule->put_Profiles(NET_FW_PROFILE2_ALL);
    rule->put_Action(NET_FW_ACTION_ALLOW);
    rule->put_Enabled(VARIANT_TRUE);
    change.kind = FirewallChange::RULE_ADDED;
    change.name = Text(ruleName);
    beforeChange(change);
    if (FAILED(rules->Add(rule.get())))
        Throw(sites.add, E_OUTOFMEMORY);
}

}  // namespace

CFirewall::CComEntry::~CComEntry()
{
    if (SUCCEEDED(result))
        CoUninitialize();
}

CFirewall::CFirewall()
{
    // A thread already in another apartment keeps it; the objects work there too.
    m_comResult.result = EngineCalls().CoInitializeEx(nullptr, COM_APARTMENT);
    if (FAILED(m_comResult.result) && m_comResult.result != RPC_E_CHANGED_MODE)
        Throw(LOC_COM_INIT, m_comResult.result);

    fw::CComPtr<INetFwMgr> manager;
    HRESULT hr = CreateObject(CLASS_NET_FW_MGR, manager);
    if (FAILED(hr))
        Throw(LOC_CREATE_MANAGER, hr);
    fw::CComPtr<INetFwPolicy> policy;
    hr = manager->get_LocalPolicy(policy.put());
    if (FAILED(hr) || !policy)
        Throw(LOC_LOCAL_POLICY, Failure(hr));
    hr = policy->get_CurrentProfile(m_pProfile.put());
    if (FAILED(hr) || !m_pProfile)
        Throw(LOC_CURRENT_PROFILE, Failure(hr));

    // Systems before the rule-based interface have the profile only.
    m_policy2Result = CreateObject(CLASS_NET_FW_POLICY2, m_pPolicy2);
    if (FAILED(m_policy2Result))
        m_pPolicy2.reset();
}

CFirewall::~CFirewall()
{
    m_pPolicy2.reset();
    m_pProfile.reset();
}

void CFirewall::AuthorizeApplication(const WCHAR* path, const WCHAR* name,
                                     const FirewallChangeCallback& beforeChange)
{
    if (m_pPolicy2)
        AuthorizeByRules(path, name, beforeChange);
    else
        AuthorizeInProfile(path, name, beforeChange);
}

void CFirewall::AuthorizeApplication(const WCHAR* path, const WCHAR* name)
{
    AuthorizeApplication(path, name, [](const FirewallChange&) {});
}

HRESULT CFirewall::UndoChange(const FirewallChange& change)
{
    try {
        CFirewall firewall;
        return firewall.Undo(change);
    } catch (CExceptionEx* e) {
        const std::unique_ptr<CExceptionEx> failure(e);
        return static_cast<HRESULT>(failure->code);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CFirewall::Undo(const FirewallChange& change)
{
    switch (change.kind) {
    case FirewallChange::RULE_ADDED:
    case FirewallChange::RULE_CHANGED: {
        // A rule change was made through the rule-based interface; the
        // profile holds none of it.
        if (!m_pPolicy2)
            return Failure(m_policy2Result);
        fw::CComPtr<INetFwRules> rules;
        const HRESULT hr = m_pPolicy2->get_Rules(rules.put());
        if (FAILED(hr) || !rules)
            return Failure(hr);
        return UndoRule(rules.get(), change);
    }
    case FirewallChange::APPLICATION_ADDED:
    case FirewallChange::APPLICATION_CHANGED: {
        fw::CComPtr<INetFwAuthorizedApplications> applications;
        const HRESULT hr = m_pProfile->get_AuthorizedApplications(applications.put());
        if (FAILED(hr) || !applications)
            return Failure(hr);
        return UndoApplication(applications.get(), change);
    }
    }
    return E_INVALIDARG;  // a record this version does not know
}

fw::CComPtr<INetFwRule> CFirewall::FindRule(const WCHAR* path, NET_FW_RULE_DIRECTION direction,
                                            INetFwRules* rules)
{
    if (path == nullptr || rules == nullptr)
        return {};
    fw::CComPtr<IEnumVARIANT> items;
    if (FAILED(OpenRules(rules, items)))
        return {};
    const size_t pathLength = wcslen(path);
    fw::CComPtr<INetFwRule> found;
    WalkRules(items.get(), [&](fw::CComPtr<INetFwRule>& rule) {
        if (!RuleIsFor(rule.get(), path, pathLength, direction))
            return true;
        found = std::move(rule);
        return false;
    });
    return found;
}

void CFirewall::AuthorizeByRules(const WCHAR* path, const WCHAR* name,
                                 const FirewallChangeCallback& beforeChange)
{
    fw::CComPtr<INetFwRules> rules;
    const HRESULT hr = m_pPolicy2->get_Rules(rules.put());
    if (FAILED(hr) || !rules)
        Throw(LOC_GET_RULES, Failure(hr));

    fw::CBstr pathString(path != nullptr ? SysAllocString(path) : nullptr);
    if (pathString.get() == nullptr)
        Throw(LOC_PATH_STRING, E_OUTOFMEMORY);
    fw::CBstr outboundName(MakeOutboundName(name));
    if (outboundName.get() == nullptr)
        Throw(LOC_OUTBOUND_NAME, E_OUTOFMEMORY);
    fw::CBstr nameString(name != nullptr ? SysAllocString(name) : nullptr);
    if (nameString.get() == nullptr)
        Throw(LOC_NAME_STRING, E_OUTOFMEMORY);

    AdmitDirection(*this, rules.get(), pathString.get(), nameString.get(), NET_FW_RULE_DIR_IN,
                   INBOUND_SITES, beforeChange);
    AdmitDirection(*this, rules.get(), pathString.get(), outboundName.get(), NET_FW_RULE_DIR_OUT,
                   OUTBOUND_SITES, beforeChange);
}

void CFirewall::AuthorizeInProfile(const WCHAR* path, const WCHAR* name,
                                   const FirewallChangeCallback& beforeChange)
{
    fw::CComPtr<INetFwAuthorizedApplications> applications;
    HRESULT hr = m_pProfile->get_AuthorizedApplications(applications.put());
    if (FAILED(hr) || !applications)
        Throw(LOC_AUTHORIZED_APPLICATIONS, Failure(hr));

    fw::CBstr pathString(path != nullptr ? SysAllocString(path) : nullptr);
    if (pathString.get() == nullptr)
        Throw(LOC_PROFILE_PATH_STRING, E_OUTOFMEMORY);

    fw::CComPtr<INetFwAuthorizedApplication> application;
    FirewallChange change;
    change.path = Text(pathString.get());
    if (SUCCEEDED(applications->Item(pathString.get(), application.put())) && application) {
        VARIANT_BOOL enabled = VARIANT_FALSE;
        hr = application->get_Enabled(&enabled);
        if (FAILED(hr))
            Throw(LOC_APPLICATION_STATE, hr);
        change.kind = FirewallChange::APPLICATION_CHANGED;
        change.previousEnabled = enabled != VARIANT_FALSE ? 1 : 0;
        beforeChange(change);
        if (FAILED(application->put_Enabled(VARIANT_TRUE)))
            Throw(LOC_ENABLE_APPLICATION, E_OUTOFMEMORY);
        return;
    }

    // Scope, IP version and enablement keep the firewall's defaults.
    hr = CreateObject(CLASS_NET_FW_AUTHORIZED_APPLICATION, application);
    if (FAILED(hr))
        Throw(LOC_CREATE_APPLICATION, hr);
    hr = application->put_ProcessImageFileName(pathString.get());
    if (FAILED(hr))
        Throw(LOC_APPLICATION_IMAGE, hr);
    fw::CBstr nameString(name != nullptr ? SysAllocString(name) : nullptr);
    if (nameString.get() == nullptr || SysStringLen(nameString.get()) == 0)
        Throw(LOC_APPLICATION_NAME_STRING, E_OUTOFMEMORY);
    hr = application->put_Name(nameString.get());
    if (FAILED(hr))
        Throw(LOC_APPLICATION_NAME, hr);
    change.kind = FirewallChange::APPLICATION_ADDED;
    change.name = Text(nameString.get());
    beforeChange(change);
    hr = applications->Add(application.get());
    if (FAILED(hr))
        Throw(LOC_ADD_APPLICATION, hr);
}
