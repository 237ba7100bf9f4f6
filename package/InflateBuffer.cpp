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

void CInflateBuffer::MoveTo(uint8_t* out)
{
    // Each block goes as soon as it is copied, so an entry never needs twice
    // its size for long. From the last block back: an allocator that returns
    // the top of its heap to the system can then do so block by block.
    const size_t blocks = (m_size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    for (size_t block = blocks; block-- > 0;) {
        const size_t at = block * BLOCK_SIZE;
        const size_t take = m_size - at < BLOCK_SIZE ? m_size - at : BLOCK_SIZE;
        std::memcpy(out + at, m_blocks[block].get(), take);
        m_blocks[block].reset();
    }
    m_blocks.clear();
    m_size = 0;
}
