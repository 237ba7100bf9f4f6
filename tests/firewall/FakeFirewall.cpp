#include "tests/firewall/FakeFirewall.h"

#include <oleauto.h>

#include <type_traits>

FakeFirewallWorld* g_fakeFirewall = nullptr;

namespace {

// The classes as the firewall registers them; CFirewall must ask for these.
const CLSID NET_FW_MGR = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
const CLSID NET_FW_POLICY2 = {0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
const CLSID NET_FW_AUTHORIZED_APPLICATION = {
    0xEC9846B3, 0x2762, 0x4A6B, {0xA2, 0x14, 0x6A, 0xCB, 0x60, 0x34, 0x62, 0xD2}};
const CLSID NET_FW_RULE = {0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}};

long g_alive = 0;

#define NOT_USED(method, ...) \
    HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override { return E_NOTIMPL; }

template <typename I>
class CFake : public I {
public:
    CFake() { ++g_alive; }
    virtual ~CFake() { --g_alive; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == __uuidof(I) ||
            (std::is_base_of<IDispatch, I>::value && iid == IID_IDispatch)) {
            *out = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_references;
        if (left == 0)
            delete this;
        return left;
    }

private:
    ULONG m_references = 1;
};

template <typename I>
class CFakeDispatch : public CFake<I> {
public:
    NOT_USED(GetTypeInfoCount, UINT*)
    NOT_USED(GetTypeInfo, UINT, LCID, ITypeInfo**)
    NOT_USED(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
    NOT_USED(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
};

// Answers the call; on success hands out a new object of the kind.
template <typename Fake, typename Out>
HRESULT Produce(const char* call, Out** out)
{
    *out = nullptr;
    const HRESULT hr = g_fakeFirewall->Answer(call);
    if (FAILED(hr))
        return hr;
    *out = new Fake;
    return S_OK;
}

// Answers the call; on success the item's state joins the firewall's list.
template <typename Fake, typename Item, typename State>
HRESULT Collect(const char* call, Item* item, std::vector<std::shared_ptr<State>>& list)
{
    const HRESULT hr = g_fakeFirewall->Answer(call);
    if (FAILED(hr))
        return hr;
    auto* fake = dynamic_cast<Fake*>(item);
    if (fake == nullptr)
        return E_INVALIDARG;
    list.push_back(fake->State());
    return S_OK;
}

std::wstring Text(BSTR s)
{
    return s != nullptr ? std::wstring(s, SysStringLen(s)) : std::wstring();
}

class CFakeRule : public CFakeDispatch<INetFwRule> {
public:
    explicit CFakeRule(std::shared_ptr<FakeRuleState> state) : m_state(std::move(state)) {}
    const std::shared_ptr<FakeRuleState>& State() const { return m_state; }

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override { return Copy(m_state->name, out); }
    HRESULT STDMETHODCALLTYPE put_Name(BSTR v) override { return Set("Name", m_state->name, v); }
    HRESULT STDMETHODCALLTYPE get_Description(BSTR* out) override { return Copy(m_state->description, out); }
    HRESULT STDMETHODCALLTYPE put_Description(BSTR v) override
    {
        return Set("Description", m_state->description, v);
    }
    HRESULT STDMETHODCALLTYPE get_ApplicationName(BSTR* out) override
    {
        if (!m_state->applicationReadable)
            return E_ACCESSDENIED;
        return Copy(m_state->application, out);
    }
    HRESULT STDMETHODCALLTYPE put_ApplicationName(BSTR v) override
    {
        return Set("ApplicationName", m_state->application, v);
    }
    HRESULT STDMETHODCALLTYPE get_Protocol(LONG* out) override { return Get(m_state->protocol, out); }
    HRESULT STDMETHODCALLTYPE put_Protocol(LONG v) override { return Put("Protocol", m_state->protocol, v); }
    HRESULT STDMETHODCALLTYPE get_Direction(NET_FW_RULE_DIRECTION* out) override
    {
        return Get(m_state->direction, out);
    }
    HRESULT STDMETHODCALLTYPE put_Direction(NET_FW_RULE_DIRECTION v) override
    {
        return Put("Direction", m_state->direction, v);
    }
    HRESULT STDMETHODCALLTYPE get_Profiles(LONG* out) override { return Get(m_state->profiles, out); }
    HRESULT STDMETHODCALLTYPE put_Profiles(LONG v) override { return Put("Profiles", m_state->profiles, v); }
    HRESULT STDMETHODCALLTYPE get_Action(NET_FW_ACTION* out) override
    {
        const HRESULT hr = g_fakeFirewall->Answer("Rule.get_Action");
        return FAILED(hr) ? hr : Get(m_state->action, out);
    }
    HRESULT STDMETHODCALLTYPE put_Action(NET_FW_ACTION v) override
    {
        m_state->setters.push_back("Action");
        if (FAILED(m_state->actionResult))
            return m_state->actionResult;
        m_state->action = v;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* out) override
    {
        const HRESULT hr = g_fakeFirewall->Answer("Rule.get_Enabled");
        if (FAILED(hr))
            return hr;
        *out = m_state->enabled ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL v) override
    {
        m_state->setters.push_back("Enabled");
        if (FAILED(m_state->enableResult))
            return m_state->enableResult;
        m_state->enabled = v == VARIANT_TRUE;
        return S_OK;
    }

    // Properties CFirewall leaves alone: setting one is recorded.
    NOT_USED(get_ServiceName, BSTR*)
    HRESULT STDMETHODCALLTYPE put_ServiceName(BSTR) override { return Record("ServiceName"); }
    NOT_USED(get_LocalPorts, BSTR*)
    HRESULT STDMETHODCALLTYPE put_LocalPorts(BSTR) override { return Record("LocalPorts"); }
    NOT_USED(get_RemotePorts, BSTR*)
    HRESULT STDMETHODCALLTYPE put_RemotePorts(BSTR) override { return Record("RemotePorts"); }
    NOT_USED(get_LocalAddresses, BSTR*)
    HRESULT STDMETHODCALLTYPE put_LocalAddresses(BSTR) override { return Record("LocalAddresses"); }
    NOT_USED(get_RemoteAddresses, BSTR*)
    HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR) override { return Record("RemoteAddresses"); }
    NOT_USED(get_IcmpTypesAndCodes, BSTR*)
    HRESULT STDMETHODCALLTYPE put_IcmpTypesAndCodes(BSTR) override { return Record("IcmpTypesAndCodes"); }
    NOT_USED(get_Interfaces, VARIANT*)
    HRESULT STDMETHODCALLTYPE put_Interfaces(VARIANT) override { return Record("Interfaces"); }
    NOT_USED(get_InterfaceTypes, BSTR*)
    HRESULT STDMETHODCALLTYPE put_InterfaceTypes(BSTR) override { return Record("InterfaceTypes"); }
    NOT_USED(get_Grouping, BSTR*)
    HRESULT STDMETHODCALLTYPE put_Grouping(BSTR) override { return Record("Grouping"); }
    NOT_USED(get_EdgeTraversal, VARIANT_BOOL*)
    HRESULT STDMETHODCALLTYPE put_EdgeTraversal(VARIANT_BOOL) override { return Record("EdgeTraversal"); }

private:
    static HRESULT Copy(const std::wstring& value, BSTR* out)
    {
        *out = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    template <typename T>
    static HRESULT Get(const T& value, T* out)
    {
        *out = value;
        return S_OK;
    }
    HRESULT Set(const char* property, std::wstring& field, BSTR value)
    {
        m_state->setters.push_back(property);
        field = Text(value);
        return S_OK;
    }
    template <typename T>
    HRESULT Put(const char* property, T& field, T value)
    {
        m_state->setters.push_back(property);
        field = value;
        return S_OK;
    }
    HRESULT Record(const char* property)
    {
        m_state->setters.push_back(property);
        return S_OK;
    }

    std::shared_ptr<FakeRuleState> m_state;
};

class CFakeRuleEnum : public CFake<IEnumVARIANT> {
public:
    explicit CFakeRuleEnum(std::vector<std::shared_ptr<FakeRuleState>> rules) : m_rules(std::move(rules)) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* items, ULONG* fetched) override
    {
        if (fetched != nullptr)
            *fetched = 0;
        if (count != 1)
            return E_INVALIDARG;  // one at a time is all CFirewall asks for
        if (m_next >= m_rules.size())
            return S_FALSE;
        VariantInit(&items[0]);
        items[0].vt = VT_DISPATCH;
        items[0].pdispVal = new CFakeRule(m_rules[m_next++]);
        if (fetched != nullptr)
            *fetched = 1;
        return S_OK;
    }
    NOT_USED(Skip, ULONG)
    NOT_USED(Reset)
    NOT_USED(Clone, IEnumVARIANT**)

private:
    std::vector<std::shared_ptr<FakeRuleState>> m_rules;
    size_t m_next = 0;
};

class CFakeRules : public CFakeDispatch<INetFwRules> {
public:
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override
    {
        *count = static_cast<LONG>(g_fakeFirewall->rules.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Add(INetFwRule* rule) override
    {
        return Collect<CFakeRule>("Rules.Add", rule, g_fakeFirewall->rules);
    }
    // Takes only the first rule of the name: nothing says the firewall takes
    // all of them, so an undo must not lean on either. No rule of the name
    // is no error, as with the firewall.
    HRESULT STDMETHODCALLTYPE Remove(BSTR name) override
    {
        const HRESULT hr = g_fakeFirewall->Answer("Rules.Remove");
        if (FAILED(hr))
            return hr;
        auto& rules = g_fakeFirewall->rules;
        for (auto rule = rules.begin(); rule != rules.end(); ++rule) {
            if ((*rule)->name == Text(name)) {
                rules.erase(rule);
                break;
            }
        }
        return S_OK;
    }
    NOT_USED(Item, BSTR, INetFwRule**)
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** out) override
    {
        *out = nullptr;
        const HRESULT hr = g_fakeFirewall->Answer("get__NewEnum");
        if (FAILED(hr))
            return hr;
        *out = new CFakeRuleEnum(g_fakeFirewall->rules);
        return S_OK;
    }
};

class CFakePolicy2 : public CFakeDispatch<INetFwPolicy2> {
public:
    HRESULT STDMETHODCALLTYPE get_Rules(INetFwRules** out) override
    {
        return Produce<CFakeRules>("get_Rules", out);
    }
    NOT_USED(get_CurrentProfileTypes, LONG*)
    NOT_USED(get_FirewallEnabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    NOT_USED(put_FirewallEnabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    NOT_USED(get_ExcludedInterfaces, NET_FW_PROFILE_TYPE2, VARIANT*)
    NOT_USED(put_ExcludedInterfaces, NET_FW_PROFILE_TYPE2, VARIANT)
    NOT_USED(get_BlockAllInboundTraffic, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    NOT_USED(put_BlockAllInboundTraffic, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    NOT_USED(get_NotificationsDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    NOT_USED(put_NotificationsDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    NOT_USED(get_UnicastResponsesToMulticastBroadcastDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    NOT_USED(put_UnicastResponsesToMulticastBroadcastDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    NOT_USED(get_ServiceRestriction, INetFwServiceRestriction**)
    NOT_USED(EnableRuleGroup, LONG, BSTR, VARIANT_BOOL)
    NOT_USED(IsRuleGroupEnabled, LONG, BSTR, VARIANT_BOOL*)
    NOT_USED(RestoreLocalFirewallDefaults)
    NOT_USED(get_DefaultInboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION*)
    NOT_USED(put_DefaultInboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION)
    NOT_USED(get_DefaultOutboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION*)
    NOT_USED(put_DefaultOutboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION)
    NOT_USED(get_IsRuleGroupCurrentlyEnabled, BSTR, VARIANT_BOOL*)
    NOT_USED(get_LocalPolicyModifyState, NET_FW_MODIFY_STATE*)
};

class CFakeApplication : public CFakeDispatch<INetFwAuthorizedApplication> {
public:
    explicit CFakeApplication(std::shared_ptr<FakeApplicationState> state) : m_state(std::move(state)) {}
    const std::shared_ptr<FakeApplicationState>& State() const { return m_state; }

    NOT_USED(get_Name, BSTR*)
    HRESULT STDMETHODCALLTYPE put_Name(BSTR name) override
    {
        m_state->setters.push_back("Name");
        const HRESULT hr = g_fakeFirewall->Answer("Application.put_Name");
        if (SUCCEEDED(hr))
            m_state->name = Text(name);
        return hr;
    }
    NOT_USED(get_ProcessImageFileName, BSTR*)
    HRESULT STDMETHODCALLTYPE put_ProcessImageFileName(BSTR image) override
    {
        m_state->setters.push_back("ProcessImageFileName");
        const HRESULT hr = g_fakeFirewall->Answer("Application.put_ProcessImageFileName");
        if (SUCCEEDED(hr))
            m_state->image = Text(image);
        return hr;
    }
    NOT_USED(get_IpVersion, NET_FW_IP_VERSION*)
    HRESULT STDMETHODCALLTYPE put_IpVersion(NET_FW_IP_VERSION) override { return Record("IpVersion"); }
    NOT_USED(get_Scope, NET_FW_SCOPE*)
    HRESULT STDMETHODCALLTYPE put_Scope(NET_FW_SCOPE) override { return Record("Scope"); }
    NOT_USED(get_RemoteAddresses, BSTR*)
    HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR) override { return Record("RemoteAddresses"); }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) override
    {
        const HRESULT hr = g_fakeFirewall->Answer("Application.get_Enabled");
        if (SUCCEEDED(hr))
            *enabled = m_state->enabled ? VARIANT_TRUE : VARIANT_FALSE;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) override
    {
        m_state->setters.push_back("Enabled");
        if (FAILED(m_state->enableResult))
            return m_state->enableResult;
        m_state->enabled = enabled == VARIANT_TRUE;
        return S_OK;
    }

private:
    HRESULT Record(const char* property)
    {
        m_state->setters.push_back(property);
        return S_OK;
    }

    std::shared_ptr<FakeApplicationState> m_state;
};

class CFakeApplications : public CFakeDispatch<INetFwAuthorizedApplications> {
public:
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override
    {
        *count = static_cast<LONG>(g_fakeFirewall->applications.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Add(INetFwAuthorizedApplication* application) override
    {
        return Collect<CFakeApplication>("Applications.Add", application, g_fakeFirewall->applications);
    }
    HRESULT STDMETHODCALLTYPE Remove(BSTR image) override
    {
        const HRESULT hr = g_fakeFirewall->Answer("Applications.Remove");
        if (FAILED(hr))
            return hr;
        auto& applications = g_fakeFirewall->applications;
        for (auto application = applications.begin(); application != applications.end(); ++application) {
            if ((*application)->image == Text(image)) {
                applications.erase(application);
                return S_OK;
            }
        }
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    HRESULT STDMETHODCALLTYPE Item(BSTR image, INetFwAuthorizedApplication** out) override
    {
        *out = nullptr;
        for (const auto& application : g_fakeFirewall->applications) {
            if (application->image == Text(image)) {
                *out = new CFakeApplication(application);
                return S_OK;
            }
        }
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    NOT_USED(get__NewEnum, IUnknown**)
};

class CFakeProfile : public CFakeDispatch<INetFwProfile> {
public:
    HRESULT STDMETHODCALLTYPE get_AuthorizedApplications(INetFwAuthorizedApplications** out) override
    {
        return Produce<CFakeApplications>("get_AuthorizedApplications", out);
    }
    NOT_USED(get_Type, NET_FW_PROFILE_TYPE*)
    NOT_USED(get_FirewallEnabled, VARIANT_BOOL*)
    NOT_USED(put_FirewallEnabled, VARIANT_BOOL)
    NOT_USED(get_ExceptionsNotAllowed, VARIANT_BOOL*)
    NOT_USED(put_ExceptionsNotAllowed, VARIANT_BOOL)
    NOT_USED(get_NotificationsDisabled, VARIANT_BOOL*)
    NOT_USED(put_NotificationsDisabled, VARIANT_BOOL)
    NOT_USED(get_UnicastResponsesToMulticastBroadcastDisabled, VARIANT_BOOL*)
    NOT_USED(put_UnicastResponsesToMulticastBroadcastDisabled, VARIANT_BOOL)
    NOT_USED(get_RemoteAdminSettings, INetFwRemoteAdminSettings**)
    NOT_USED(get_IcmpSettings, INetFwIcmpSettings**)
    NOT_USED(get_GloballyOpenPorts, INetFwOpenPorts**)
    NOT_USED(get_Services, INetFwServices**)
};

class CFakePolicy : public CFakeDispatch<INetFwPolicy> {
public:
    HRESULT STDMETHODCALLTYPE get_CurrentProfile(INetFwProfile** out) override
    {
        return Produce<CFakeProfile>("get_CurrentProfile", out);
    }
    NOT_USED(GetProfileByType, NET_FW_PROFILE_TYPE, INetFwProfile**)
};

class CFakeManager : public CFakeDispatch<INetFwMgr> {
public:
    HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** out) override
    {
        return Produce<CFakePolicy>("get_LocalPolicy", out);
    }
    NOT_USED(get_CurrentProfileType, NET_FW_PROFILE_TYPE*)
    NOT_USED(RestoreDefaults)
    NOT_USED(IsPortAllowed, BSTR, NET_FW_IP_VERSION, LONG, BSTR, NET_FW_IP_PROTOCOL, VARIANT*, VARIANT*)
    NOT_USED(IsIcmpTypeAllowed, NET_FW_IP_VERSION, BSTR, BYTE, VARIANT*, VARIANT*)
};

// Creates one fake of the class, hands it out as iid and drops our reference.
template <typename Fake>
HRESULT Create(Fake* object, REFIID iid, LPVOID* out)
{
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

}  // namespace

HRESULT FakeFirewallWorld::Answer(const std::string& call)
{
    auto failure = failures.find(call);
    if (failure == failures.end())
        return S_OK;
    if (failure->second.skip > 0) {
        --failure->second.skip;
        return S_OK;
    }
    return failure->second.result;
}

HRESULT WINAPI FakeFirewallCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                          LPVOID* out)
{
    *out = nullptr;
    if (outer != nullptr || context != CLSCTX_INPROC_SERVER)
        return E_INVALIDARG;
    std::string name;
    if (clsid == NET_FW_MGR && iid == __uuidof(INetFwMgr))
        name = "NetFwMgr";
    else if (clsid == NET_FW_POLICY2 && iid == __uuidof(INetFwPolicy2))
        name = "NetFwPolicy2";
    else if (clsid == NET_FW_RULE && iid == __uuidof(INetFwRule))
        name = "NetFwRule";
    else if (clsid == NET_FW_AUTHORIZED_APPLICATION && iid == __uuidof(INetFwAuthorizedApplication))
        name = "NetFwAuthorizedApplication";
    else
        return REGDB_E_CLASSNOTREG;

    g_fakeFirewall->created.push_back(name);
    const HRESULT hr = g_fakeFirewall->Answer("create " + name);
    if (FAILED(hr))
        return hr;
    if (name == "NetFwMgr")
        return Create(new CFakeManager, iid, out);
    if (name == "NetFwPolicy2")
        return Create(new CFakePolicy2, iid, out);
    if (name == "NetFwRule")
        return Create(new CFakeRule(std::make_shared<FakeRuleState>()), iid, out);
    return Create(new CFakeApplication(std::make_shared<FakeApplicationState>()), iid, out);
}

long FakeFirewallObjectsAlive()
{
    return g_alive;
}
