#include "process/Firewall.h"

#include "engine/ExceptionEx.h"

#include <oleauto.h>

#include <cwchar>

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
constexpr int LOC_ENABLE_APPLICATION = 745;
constexpr int LOC_CREATE_APPLICATION = 763;
constexpr int LOC_APPLICATION_IMAGE = 772;
constexpr int LOC_APPLICATION_NAME_STRING = 781;
constexpr int LOC_APPLICATION_NAME = 790;
constexpr int LOC_ADD_APPLICATION = 799;

// The sites of one direction of the rule path.
struct RuleSites {
    int enable;  // existing rule: put_Enabled
    int action;  // existing rule: put_Action
    int create;  // new rule object
    int add;     // new rule: INetFwRules::Add
};
constexpr RuleSites INBOUND_SITES = {471, 479, 490, 515};
constexpr RuleSites OUTBOUND_SITES = {530, 538, 549, 574};

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

FirewallPlatformCalls RealCalls()
{
    FirewallPlatformCalls calls{};
    calls.CoInitializeEx = &::CoInitializeEx;
    calls.CoCreateInstance = &::CoCreateInstance;
    return calls;
}

FirewallPlatformCalls g_calls = RealCalls();

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
    const HRESULT hr = FirewallCalls().CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
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

bool SamePath(BSTR candidate, const WCHAR* path, size_t pathLength)
{
    return SysStringLen(candidate) == pathLength && wmemcmp(candidate, path, pathLength) == 0;
}

// Enables and allows the program's rule for one direction, or adds it.
void AdmitDirection(CFirewall& firewall, INetFwRules* rules, BSTR path, BSTR ruleName,
                    NET_FW_RULE_DIRECTION direction, const RuleSites& sites)
{
    fw::CComPtr<INetFwRule> rule = firewall.FindRule(path, direction, rules);
    if (rule) {
        // Only switched on again: the user's other settings of the rule stay.
        HRESULT hr = rule->put_Enabled(VARIANT_TRUE);
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
    if (FAILED(rules->Add(rule.get())))
        Throw(sites.add, E_OUTOFMEMORY);
}

}  // namespace

FirewallPlatformCalls& FirewallCalls()
{
    return g_calls;
}

void ResetFirewallCalls()
{
    g_calls = RealCalls();
}

CFirewall::CComEntry::~CComEntry()
{
    if (SUCCEEDED(result))
        CoUninitialize();
}

CFirewall::CFirewall()
{
    // A thread already in another apartment keeps it; the objects work there too.
    m_comResult.result = FirewallCalls().CoInitializeEx(nullptr, COM_APARTMENT);
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
    if (FAILED(CreateObject(CLASS_NET_FW_POLICY2, m_pPolicy2)))
        m_pPolicy2.reset();
}

CFirewall::~CFirewall()
{
    m_pPolicy2.reset();
    m_pProfile.reset();
}

void CFirewall::AuthorizeApplication(const WCHAR* path, const WCHAR* name)
{
    if (m_pPolicy2)
        AuthorizeByRules(path, name);
    else
        AuthorizeInProfile(path, name);
}

fw::CComPtr<INetFwRule> CFirewall::FindRule(const WCHAR* path, NET_FW_RULE_DIRECTION direction,
                                            INetFwRules* rules)
{
    if (path == nullptr || rules == nullptr)
        return {};
    fw::CComPtr<IUnknown> enumerator;
    if (FAILED(rules->get__NewEnum(enumerator.put())) || !enumerator)
        return {};
    fw::CComPtr<IEnumVARIANT> items;
    if (FAILED(enumerator->QueryInterface(IID_IEnumVARIANT, items.put_void())) || !items)
        return {};

    const size_t pathLength = wcslen(path);
    for (;;) {
        CVariant item;
        ULONG fetched = 0;
        if (items->Next(1, &item.value, &fetched) != S_OK || fetched != 1)
            return {};
        if (FAILED(VariantChangeType(&item.value, &item.value, 0, VT_DISPATCH)) ||
            item.value.pdispVal == nullptr)
            return {};
        fw::CComPtr<INetFwRule> rule;
        if (FAILED(item.value.pdispVal->QueryInterface(__uuidof(INetFwRule), rule.put_void())) ||
            !rule)
            return {};

        // A rule whose program cannot be read belongs to someone else as far
        // as we can tell: matching it by direction alone would enable a
        // stranger's rule.
        fw::CBstr application;
        if (FAILED(rule->get_ApplicationName(application.put())) || application.get() == nullptr ||
            !SamePath(application.get(), path, pathLength))
            continue;
        NET_FW_RULE_DIRECTION ruleDirection = NET_FW_RULE_DIR_MAX;
        if (FAILED(rule->get_Direction(&ruleDirection)) || ruleDirection != direction)
            continue;
        return rule;
    }
}

void CFirewall::AuthorizeByRules(const WCHAR* path, const WCHAR* name)
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
                   INBOUND_SITES);
    AdmitDirection(*this, rules.get(), pathString.get(), outboundName.get(), NET_FW_RULE_DIR_OUT,
                   OUTBOUND_SITES);
}

void CFirewall::AuthorizeInProfile(const WCHAR* path, const WCHAR* name)
{
    fw::CComPtr<INetFwAuthorizedApplications> applications;
    HRESULT hr = m_pProfile->get_AuthorizedApplications(applications.put());
    if (FAILED(hr) || !applications)
        Throw(LOC_AUTHORIZED_APPLICATIONS, Failure(hr));

    fw::CBstr pathString(path != nullptr ? SysAllocString(path) : nullptr);
    if (pathString.get() == nullptr)
        Throw(LOC_PROFILE_PATH_STRING, E_OUTOFMEMORY);

    fw::CComPtr<INetFwAuthorizedApplication> application;
    if (SUCCEEDED(applications->Item(pathString.get(), application.put())) && application) {
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
    hr = applications->Add(application.get());
    if (FAILED(hr))
        Throw(LOC_ADD_APPLICATION, hr);
}
