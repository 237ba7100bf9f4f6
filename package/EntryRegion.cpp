#include "package/EntryRegion.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <utility>

namespace {

size_t PageSize()
{
    static const size_t size = [] {
#ifdef _WIN32
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return static_cast<size_t>(info.dwPageSize);
#else
        const long page = sysconf(_SC_PAGESIZE);
        return page > 0 ? static_cast<size_t>(page) : static_cast<size_t>(4096);
#endif
    }();
    return size;
}

// Whole pages covering size bytes; 0 when that does not fit in a size_t.
size_t RoundToPages(size_t size)
{
    const size_t page = PageSize();
    if (size > static_cast<size_t>(-1) - (page - 1))
        return 0;
    return (size + page - 1) / page * page;
}

}  // namespace

CEntryRegion::CEntryRegion() : m_base(nullptr), m_capacity(0), m_committed(0) {}

CEntryRegion::~CEntryRegion()
{
    Release();
}

CEntryRegion::CEntryRegion(CEntryRegion&& other) noexcept
    : m_base(std::exchange(other.m_base, nullptr)),
      m_capacity(std::exchange(other.m_capacity, 0)),
      m_committed(std::exchange(other.m_committed, 0))
{
}

CEntryRegion& CEntryRegion::operator=(CEntryRegion&& other) noexcept
{
    if (this != &other) {
        Release();
        m_base = std::exchange(other.m_base, nullptr);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_committed = std::exchange(other.m_committed, 0);
    }
    return *this;
}

bool CEntryRegion::Reserve(size_t capacity)
{
    Release();
    const size_t bytes = RoundToPages(capacity ? capacity : 1);
    if (bytes == 0)
        return false;
#ifdef _WIN32
    void* base = VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS);
    if (!base)
        return false;
#else
    void* base = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED)
        return false;
#endif
    m_base = static_cast<uint8_t*>(base);
    m_capacity = bytes;
    return true;
}

bool CEntryRegion::Commit(size_t size)
{
    if (size <= m_committed)
        return true;
    if (size > m_capacity)
        return false;
    const size_t target = RoundToPages(size);
    uint8_t* from = m_base + m_committed;
    const size_t bytes = target - m_committed;
#ifdef _WIN32
    if (!VirtualAlloc(from, bytes, MEM_COMMIT, PAGE_READWRITE))
        return false;
#else
    if (mprotect(from, bytes, PROT_READ | PROT_WRITE) != 0)
        return false;
#endif
    m_committed = target;
    return true;
}

void CEntryRegion::Trim(size_t size)
{
    const size_t keep = RoundToPages(size);
    if (keep == 0 && size != 0)
        return;
    if (keep >= m_committed)
        return;
    uint8_t* from = m_base + keep;
    const size_t bytes = m_committed - keep;
#ifdef _WIN32
    if (!VirtualFree(from, bytes, MEM_DECOMMIT))
        return;  // still committed: only the memory it could have given back is lost
#else
    if (madvise(from, bytes, MADV_DONTNEED) != 0 || mprotect(from, bytes, PROT_NONE) != 0)
        return;
#endif
    m_committed = keep;
}

void CEntryRegion::Release()
{
    if (!m_base)
        return;
#ifdef _WIN32
    VirtualFree(m_base, 0, MEM_RELEASE);
#else
    munmap(m_base, m_capacity);
#endif
    m_base = nullptr;
    m_capacity = 0;
    m_committed = 0;
}
