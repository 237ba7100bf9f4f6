// Memory for one entry's inflated bytes, written in place while they are
// inflated. The size an entry inflates to is stored nowhere, and a buffer that
// grows by moving holds its contents twice at the moment it moves; so address
// space is reserved for the most the entry can become, and memory is
// committed only as far as the bytes have arrived. The region never moves.
#pragma once

#include <cstddef>
#include <cstdint>

class CEntryRegion {
public:
    CEntryRegion();
    virtual ~CEntryRegion();

    CEntryRegion(const CEntryRegion&) = delete;
    CEntryRegion& operator=(const CEntryRegion&) = delete;
    CEntryRegion(CEntryRegion&& other) noexcept;
    CEntryRegion& operator=(CEntryRegion&& other) noexcept;

    // Gives up what is held and reserves room for capacity bytes, with
    // nothing committed yet; false when the address space cannot be had.
    bool Reserve(size_t capacity);
    // Makes the first size bytes (at most Capacity()) writable; false when
    // the memory cannot be had.
    bool Commit(size_t size);
    // Gives back the committed memory past the first size bytes.
    void Trim(size_t size);
    void Release();

    uint8_t* Data() const { return m_base; }
    size_t Capacity() const { return m_capacity; }
    size_t Committed() const { return m_committed; }

private:
    uint8_t* m_base;
    size_t m_capacity;   // reserved, whole pages
    size_t m_committed;  // whole pages from m_base
};
