#include "package/InflateBuffer.h"

#include <cstring>

namespace {

// A whole number of 16384-byte windows.
constexpr size_t BLOCK_SIZE = 256 * 1024;

}  // namespace

CInflateBuffer::CInflateBuffer() : m_size(0) {}

CInflateBuffer::~CInflateBuffer() = default;

void CInflateBuffer::Append(const uint8_t* bytes, size_t count)
{
    while (count) {
        const size_t block = m_size / BLOCK_SIZE;
        const size_t offset = m_size % BLOCK_SIZE;
        if (block == m_blocks.size()) {
            m_blocks.reserve(m_blocks.size() + 1);
            m_blocks.emplace_back(new uint8_t[BLOCK_SIZE]);
        }
        const size_t take = count < BLOCK_SIZE - offset ? count : BLOCK_SIZE - offset;
        std::memcpy(m_blocks[block].get() + offset, bytes, take);
        m_size += take;
        bytes += take;
        count -= take;
    }
}

void CInflateBuffer::CopyTo(uint8_t* out) const
{
    size_t left = m_size;
    for (size_t block = 0; left; ++block) {
        const size_t take = left < BLOCK_SIZE ? left : BLOCK_SIZE;
        std::memcpy(out, m_blocks[block].get(), take);
        out += take;
        left -= take;
    }
}
