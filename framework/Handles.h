// Move-only owners for the platform's handles. Each wrapper closes what it
// holds exactly once: reset() closes and clears, so releasing twice is
// harmless, and a moved-from wrapper holds nothing.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shtypes.h>
#include <setupapi.h>
#include <winsvc.h>

#include <utility>

namespace fw {

// Traits: static Invalid() and static Close(handle).
template <typename Traits>
class CHandleT {
public:
    using Handle = typename Traits::Handle;

    CHandleT() noexcept : m_h(Traits::Invalid()) {}
    explicit CHandleT(Handle h) noexcept : m_h(h) {}
    ~CHandleT() { reset(); }

    CHandleT(const CHandleT&) = delete;
    CHandleT& operator=(const CHandleT&) = delete;
    CHandleT(CHandleT&& other) noexcept : m_h(other.release()) {}
    CHandleT& operator=(CHandleT&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    Handle get() const noexcept { return m_h; }
    bool valid() const noexcept { return m_h != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // For out-parameters: closes what is held and hands out the slot.
    Handle* put() noexcept
    {
        reset();
        return &m_h;
    }

    Handle release() noexcept
    {
        Handle h = m_h;
        m_h = Traits::Invalid();
        return h;
    }

    void reset(Handle h = Traits::Invalid()) noexcept
    {
        if (m_h != Traits::Invalid())
            Traits::Close(m_h);
        m_h = h;
    }

private:
    Handle m_h;
};

struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::FindClose(h); }
};
struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::RegCloseKey(h); }
};
struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::CloseServiceHandle(h); }
};
struct ServiceLockTraits {
    using Handle = SC_LOCK;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::UnlockServiceDatabase(h); }
};
// Device-information lists are destroyed the way the program reaches SetupAPI:
// SetupApi::DestroyDeviceInfoList. The setups load SetupAPI at run time and
// name their own; tools and tests link it.
template <typename SetupApi>
struct DevInfoTraits {
    using Handle = HDEVINFO;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { SetupApi::DestroyDeviceInfoList(h); }
};
struct LinkedSetupApi {
    static void DestroyDeviceInfoList(HDEVINFO h) noexcept { ::SetupDiDestroyDeviceInfoList(h); }
};
struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::FreeLibrary(h); }
};
struct GdiObjectTraits {
    using Handle = HGDIOBJ;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::DeleteObject(h); }
};
struct MemoryDcTraits {
    using Handle = HDC;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::DeleteDC(h); }
};
struct LocalMemTraits {
    using Handle = HLOCAL;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::LocalFree(h); }
};
struct GlobalMemTraits {
    using Handle = HGLOBAL;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::GlobalFree(h); }
};
struct VirtualMemTraits {
    using Handle = void*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::VirtualFree(h, 0, MEM_RELEASE); }
};
struct SidTraits {
    using Handle = PSID;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::FreeSid(h); }
};

// Item lists the shell hands out (folder browser, special folders); they
// come from the shell's allocator, which is the COM task allocator.
struct ItemIdListTraits {
    using Handle = ITEMIDLIST*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::CoTaskMemFree(h); }
};

using CFileHandle = CHandleT<FileHandleTraits>;      // CreateFileA, pipes
using CKernelHandle = CHandleT<KernelHandleTraits>;  // threads, processes, events, tokens
using CFindHandle = CHandleT<FindHandleTraits>;
using CRegKey = CHandleT<RegKeyTraits>;
using CServiceHandle = CHandleT<ServiceHandleTraits>;
using CServiceLock = CHandleT<ServiceLockTraits>;
using CDevInfoList = CHandleT<DevInfoTraits<LinkedSetupApi>>;  // programs that link setupapi
using CModule = CHandleT<ModuleTraits>;
using CGdiObject = CHandleT<GdiObjectTraits>;
using CMemoryDc = CHandleT<MemoryDcTraits>;
using CLocalMem = CHandleT<LocalMemTraits>;
using CGlobalMem = CHandleT<GlobalMemTraits>;
using CVirtualMem = CHandleT<VirtualMemTraits>;
using CSid = CHandleT<SidTraits>;
using CItemIdList = CHandleT<ItemIdListTraits>;

// COM interface pointer: Release on reset.
template <typename T>
class CComPtr {
public:
    CComPtr() noexcept = default;
    explicit CComPtr(T* p) noexcept : m_p(p) {}  // adopts the reference
    ~CComPtr() { reset(); }
    CComPtr(const CComPtr&) = delete;
    CComPtr& operator=(const CComPtr&) = delete;
    CComPtr(CComPtr&& other) noexcept : m_p(other.release()) {}
    CComPtr& operator=(CComPtr&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    T** put() noexcept
    {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    T* release() noexcept
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void reset(T* p = nullptr) noexcept
    {
        if (m_p)
            m_p->Release();
        m_p = p;
    }

private:
    T* m_p = nullptr;
};

// BSTR owner.
class CBstr {
public:
    CBstr() noexcept = default;
    explicit CBstr(BSTR s) noexcept : m_s(s) {}
    ~CBstr() { reset(); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR get() const noexcept { return m_s; }
    BSTR* put() noexcept
    {
        reset();
        return &m_s;
    }
    void reset(BSTR s = nullptr) noexcept
    {
        if (m_s)
            ::SysFreeString(m_s);
        m_s = s;
    }

private:
    BSTR m_s = nullptr;
};

}  // namespace fw
