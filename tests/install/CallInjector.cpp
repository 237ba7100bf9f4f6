#include "tests/install/CallInjector.h"

#include "engine/PlatformCalls.h"

#include <shlobj.h>
#include <shobjidl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <type_traits>

namespace {

constexpr DWORD DEFAULT_FAIL_CODE = ERROR_ACCESS_DENIED;
constexpr UINT KILLED_EXIT_CODE = 0xDEAD;

std::string Environment(const char* name)
{
    char value[1024] = {};
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length != 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// What the run is told to do, read once.
struct Plan {
    std::set<long> failCalls;
    DWORD failCode = DEFAULT_FAIL_CODE;
    long faultCall = 0;
    long killChange = 0;
    long killFlush = 0;
    bool skipFlush = false;
    FILE* trace = nullptr;
    std::mutex traceLock;
    std::atomic<long> calls{0};
    std::atomic<long> changes{0};
    std::atomic<long> flushes{0};
    EnginePlatformCalls real{};
};

Plan& ThePlan()
{
    static Plan plan;
    return plan;
}

enum class Act { Run, Fail, Fault };

Act OnCall(const char* name, bool changes)
{
    Plan& plan = ThePlan();
    const long n = ++plan.calls;
    if (plan.trace != nullptr) {
        std::lock_guard<std::mutex> guard(plan.traceLock);
        fprintf(plan.trace, "%ld %s%s\n", n, name, changes ? " change" : "");
        fflush(plan.trace);
    }
    if (n == plan.faultCall)
        return Act::Fault;
    if (plan.failCalls.count(n) != 0)
        return Act::Fail;
    return Act::Run;
}

void AfterCall(bool changes, bool flush = false)
{
    Plan& plan = ThePlan();
    if (changes && plan.killChange != 0 && ++plan.changes == plan.killChange)
        TerminateProcess(GetCurrentProcess(), KILLED_EXIT_CODE);
    if (flush && plan.killFlush != 0 && ++plan.flushes == plan.killFlush)
        TerminateProcess(GetCurrentProcess(), KILLED_EXIT_CODE);
}

// With VELLORAN_SKIP_FLUSH=1 a flush only counts: what the journal's writes
// through to the disk cost a run shows against a run that makes them.
template <typename R>
bool SkipsFlush(const char* name, R* result)
{
    if constexpr (std::is_integral_v<R>) {
        if (ThePlan().skipFlush && strcmp(name, "FlushFileBuffers") == 0) {
            *result = TRUE;
            return true;
        }
    }
    return false;
}

[[noreturn]] void Fault()
{
    volatile int* volatile nowhere = nullptr;
    *nowhere = 0;
    abort();
}

template <typename R>
R FailedValue(CallFailure failure, DWORD code)
{
    SetLastError(code);
    switch (failure) {
    case CallFailure::Handle:
        if constexpr (std::is_pointer_v<R>)
            return reinterpret_cast<R>(INVALID_HANDLE_VALUE);
        break;
    case CallFailure::Status:
        if constexpr (std::is_integral_v<R>)
            return static_cast<R>(code);
        break;
    case CallFailure::Result:
        if constexpr (std::is_integral_v<R>)
            return static_cast<R>(HRESULT_FROM_WIN32(code));
        break;
    case CallFailure::AllBits:
        if constexpr (std::is_integral_v<R>)
            return static_cast<R>(~static_cast<std::make_unsigned_t<R>>(0));
        break;
    case CallFailure::Bool:
    case CallFailure::Null:
    case CallFailure::Zero:
        break;
    }
    return R();
}

// One wrapper per entry: Entry names it, says how it fails and where the real
// function is.
template <typename Entry, typename Function>
struct Wrapper;

template <typename Entry, typename R, typename... A>
struct Wrapper<Entry, R(WINAPI*)(A...)> {
    static R WINAPI Call(A... args)
    {
        switch (OnCall(Entry::Name(), Entry::CHANGES)) {
        case Act::Fail:
            return FailedValue<R>(Entry::FAILURE, ThePlan().failCode);
        case Act::Fault:
            Fault();
        case Act::Run:
            break;
        }
        R result{};
        if (!SkipsFlush(Entry::Name(), &result))
            result = Entry::Real()(args...);
        const DWORD error = GetLastError();
        AfterCall(Entry::CHANGES, strcmp(Entry::Name(), "FlushFileBuffers") == 0);
        SetLastError(error);
        return result;
    }
};

// A shell link whose every method counts as a call of its own.
class CCountedLink : public IShellLinkA, public IPersistFile {
public:
    explicit CCountedLink(IShellLinkA* link) : m_link(link) {}

    // IUnknown (both faces)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IShellLinkA)) {
            *out = static_cast<IShellLinkA*>(this);
        } else if (IsEqualIID(iid, IID_IPersistFile)) {
            HRESULT hr = Counted("IShellLinkA::QueryInterface", false);
            if (FAILED(hr))
                return hr;
            if (!m_file) {
                hr = m_link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(m_file.put()));
                if (FAILED(hr))
                    return hr;
            }
            *out = static_cast<IPersistFile*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_references;
        if (left == 0)
            delete this;
        return left;
    }

    // IShellLinkA
    HRESULT STDMETHODCALLTYPE GetPath(LPSTR file, int size, WIN32_FIND_DATAA* data, DWORD flags) override
    {
        return Forward("IShellLinkA::GetPath", false, [&] { return m_link->GetPath(file, size, data, flags); });
    }
    HRESULT STDMETHODCALLTYPE GetIDList(LPITEMIDLIST* list) override { return m_link->GetIDList(list); }
    HRESULT STDMETHODCALLTYPE SetIDList(LPCITEMIDLIST list) override { return m_link->SetIDList(list); }
    HRESULT STDMETHODCALLTYPE GetDescription(LPSTR name, int size) override
    {
        return m_link->GetDescription(name, size);
    }
    HRESULT STDMETHODCALLTYPE SetDescription(LPCSTR name) override
    {
        return Forward("IShellLinkA::SetDescription", false, [&] { return m_link->SetDescription(name); });
    }
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPSTR dir, int size) override
    {
        return m_link->GetWorkingDirectory(dir, size);
    }
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCSTR dir) override
    {
        return Forward("IShellLinkA::SetWorkingDirectory", false, [&] { return m_link->SetWorkingDirectory(dir); });
    }
    HRESULT STDMETHODCALLTYPE GetArguments(LPSTR args, int size) override { return m_link->GetArguments(args, size); }
    HRESULT STDMETHODCALLTYPE SetArguments(LPCSTR args) override
    {
        return Forward("IShellLinkA::SetArguments", false, [&] { return m_link->SetArguments(args); });
    }
    HRESULT STDMETHODCALLTYPE GetHotkey(WORD* key) override { return m_link->GetHotkey(key); }
    HRESULT STDMETHODCALLTYPE SetHotkey(WORD key) override { return m_link->SetHotkey(key); }
    HRESULT STDMETHODCALLTYPE GetShowCmd(int* show) override { return m_link->GetShowCmd(show); }
    HRESULT STDMETHODCALLTYPE SetShowCmd(int show) override { return m_link->SetShowCmd(show); }
    HRESULT STDMETHODCALLTYPE GetIconLocation(LPSTR path, int size, int* index) override
    {
        return m_link->GetIconLocation(path, size, index);
    }
    HRESULT STDMETHODCALLTYPE SetIconLocation(LPCSTR path, int index) override
    {
        return Forward("IShellLinkA::SetIconLocation", false, [&] { return m_link->SetIconLocation(path, index); });
    }
    HRESULT STDMETHODCALLTYPE SetRelativePath(LPCSTR path, DWORD reserved) override
    {
        return m_link->SetRelativePath(path, reserved);
    }
    HRESULT STDMETHODCALLTYPE Resolve(HWND window, DWORD flags) override { return m_link->Resolve(window, flags); }
    HRESULT STDMETHODCALLTYPE SetPath(LPCSTR file) override
    {
        return Forward("IShellLinkA::SetPath", false, [&] { return m_link->SetPath(file); });
    }

    // IPersistFile
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override { return m_file->GetClassID(id); }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return m_file->IsDirty(); }
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR name, DWORD mode) override { return m_file->Load(name, mode); }
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR name, BOOL remember) override
    {
        return Forward("IPersistFile::Save", true, [&] { return m_file->Save(name, remember); });
    }
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR name) override { return m_file->SaveCompleted(name); }
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* name) override { return m_file->GetCurFile(name); }

private:
    virtual ~CCountedLink() = default;

    HRESULT Counted(const char* name, bool changes)
    {
        switch (OnCall(name, changes)) {
        case Act::Fail:
            SetLastError(ThePlan().failCode);
            return HRESULT_FROM_WIN32(ThePlan().failCode);
        case Act::Fault:
            Fault();
        case Act::Run:
            break;
        }
        return S_OK;
    }
    template <typename Call>
    HRESULT Forward(const char* name, bool changes, Call call)
    {
        const HRESULT counted = Counted(name, changes);
        if (FAILED(counted))
            return counted;
        const HRESULT hr = call();
        const DWORD error = GetLastError();
        AfterCall(changes);
        SetLastError(error);
        return hr;
    }

    fw::CComPtr<IShellLinkA> m_link;
    fw::CComPtr<IPersistFile> m_file;
    ULONG m_references = 1;
};

// CoCreateInstance counts like every entry; a shell link it makes is handed
// out wrapped.
HRESULT WINAPI CountedCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out)
{
    switch (OnCall("CoCreateInstance", false)) {
    case Act::Fail:
        SetLastError(ThePlan().failCode);
        return HRESULT_FROM_WIN32(ThePlan().failCode);
    case Act::Fault:
        Fault();
    case Act::Run:
        break;
    }
    const HRESULT hr = ThePlan().real.CoCreateInstance(clsid, outer, context, iid, out);
    if (SUCCEEDED(hr) && out != nullptr && *out != nullptr && IsEqualCLSID(clsid, CLSID_ShellLink) &&
        IsEqualIID(iid, IID_IShellLinkA))
        *out = static_cast<IShellLinkA*>(new CCountedLink(static_cast<IShellLinkA*>(*out)));
    return hr;
}

#define VELLORAN_ENTRY(name, type, failure, changes)                                     \
    struct Entry_##name {                                                                \
        static const char* Name() { return #name; }                                      \
        static constexpr CallFailure FAILURE = CallFailure::failure;                     \
        static constexpr bool CHANGES = changes;                                         \
        static type Real() { return ThePlan().real.name; }                               \
    };
VELLORAN_PLATFORM_CALLS(VELLORAN_ENTRY)
#undef VELLORAN_ENTRY

}  // namespace

bool InstallCallInjection()
{
    const std::string trace = Environment("VELLORAN_CALL_TRACE");
    const std::string fail = Environment("VELLORAN_FAIL_CALLS");
    const std::string code = Environment("VELLORAN_FAIL_CODE");
    const std::string fault = Environment("VELLORAN_FAULT_CALL");
    const std::string kill = Environment("VELLORAN_KILL_CHANGE");
    const std::string killFlush = Environment("VELLORAN_KILL_FLUSH");
    const std::string skipFlush = Environment("VELLORAN_SKIP_FLUSH");
    if (trace.empty() && fail.empty() && fault.empty() && kill.empty() && killFlush.empty() && skipFlush.empty())
        return false;

    Plan& plan = ThePlan();
    for (const char* at = fail.c_str(); *at != '\0';) {
        char* end = nullptr;
        const long n = strtol(at, &end, 10);
        if (end == at)
            break;
        plan.failCalls.insert(n);
        at = *end == ',' ? end + 1 : end;
    }
    if (!code.empty())
        plan.failCode = strtoul(code.c_str(), nullptr, 0);
    plan.faultCall = fault.empty() ? 0 : strtol(fault.c_str(), nullptr, 10);
    plan.killChange = kill.empty() ? 0 : strtol(kill.c_str(), nullptr, 10);
    plan.killFlush = killFlush.empty() ? 0 : strtol(killFlush.c_str(), nullptr, 10);
    plan.skipFlush = skipFlush == "1";
    if (!trace.empty())
        plan.trace = fopen(trace.c_str(), "ab");

    EnginePlatformCalls& calls = EngineCalls();
    plan.real = calls;
#define VELLORAN_WRAP(name, type, failure, changes) calls.name = &Wrapper<Entry_##name, type>::Call;
    VELLORAN_PLATFORM_CALLS(VELLORAN_WRAP)
#undef VELLORAN_WRAP
    calls.CoCreateInstance = &CountedCreateInstance;
    return true;
}
