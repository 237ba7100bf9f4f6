#include "package/PackageSource.h"

#include <utility>

namespace {

// What an empty block without an address hands out.
const uint8_t NO_BYTES[1] = {0};

}  // namespace

CPackageSource::CPackageSource(const uint8_t* data, size_t size)
    : m_inMemory(true), m_data(data ? data : NO_BYTES), m_size(data ? size : 0)
{
}

CPackageSource::CPackageSource(uint64_t size, ReadFunction read)
    : m_inMemory(false), m_data(nullptr), m_size(size), m_read(std::move(read))
{
}

CPackageSource::~CPackageSource() = default;

const uint8_t* CPackageSource::Get(uint64_t offset, size_t count, uint8_t* scratch) const
{
    if (offset > m_size || count > m_size - offset)
        return nullptr;
    if (m_inMemory)
        return m_data + offset;
    if (count == 0)
        return NO_BYTES;
    return m_read(offset, scratch, count) ? scratch : nullptr;
}
