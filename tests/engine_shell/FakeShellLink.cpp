#include "tests/engine_shell/FakeShellLink.h"

CFakeShellLink::CFakeShellLink(LinkStep failing, DWORD failError)
    : m_failing(failing), m_failError(failError)
{
}

HRESULT CFakeShellLink::QueryInterface(REFIID iid, void** out)
{
    *out = nullptr;
    if (iid == IID_IPersistFile) {
        if (Step(LinkStep::QueryPersistFile, "QueryInterface(IPersistFile)") != S_OK)
            return E_NOINTERFACE;
        *out = static_cast<IPersistFile*>(this);
    } else if (iid == IID_IUnknown || iid == IID_IShellLinkA) {
        *out = static_cast<IShellLinkA*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT CFakeShellLink::SetDescription(LPCSTR)
{
    return Step(LinkStep::SetDescription, "SetDescription");
}

HRESULT CFakeShellLink::SetWorkingDirectory(LPCSTR)
{
    return Step(LinkStep::SetWorkingDirectory, "SetWorkingDirectory");
}

HRESULT CFakeShellLink::SetArguments(LPCSTR)
{
    return Step(LinkStep::SetArguments, "SetArguments");
}

HRESULT CFakeShellLink::SetIconLocation(LPCSTR, int)
{
    return Step(LinkStep::SetIconLocation, "SetIconLocation");
}

HRESULT CFakeShellLink::SetPath(LPCSTR)
{
    return Step(LinkStep::SetPath, "SetPath");
}

HRESULT CFakeShellLink::Save(LPCOLESTR, BOOL)
{
    return Step(LinkStep::Save, "Save");
}

HRESULT CFakeShellLink::Step(LinkStep step, const char* name)
{
    m_calls.push_back(name);
    if (step != m_failing)
        return S_OK;
    SetLastError(m_failError);
    return E_FAIL;
}
