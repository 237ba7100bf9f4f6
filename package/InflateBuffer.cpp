#include "package/InflateBuffer.h"

#include "package/PackageFormat.h"

#include <cstring>

namespace {

constexpr size_t FIRST_BLOCK_SIZE = PACKAGE_WINDOW_SIZE;
constexpr size_t MAX_BLOCK_SIZE = 256 * 1024;

}  // namespace

CInflateBuffer::CInflateBuffer() : m_size(0), m_current(0), m_currentStart(0) {}

CInflateBuffer::~CInflateBuffer() = default;

void CInflateBuffer::Clear()
{
    m_size = 0;
    m_current = 0;
    m_currentStart = 0;
}

void CInflateBuffer::Append(const uint8_t* bytes, size_t count)
{
    while (count) {
        if (m_current < m_blocks.size() && m_size == m_currentStart + m_blocks[m_current].capacity) {
            m_currentStart += m_blocks[m_current].capacity;
            ++m_current;
        }
        if (m_current == m_blocks.size()) {
            const size_t last = m_blocks.empty() ? 0 : m_blocks.back().capacity;
            const size_t capacity = last == 0 ? FIRST_BLOCK_SIZE : last < MAX_BLOCK_SIZE ? 2 * last : MAX_BLOCK_SIZE;
            m_blocks.reserve(m_blocks.size() + 1);
            m_blocks.push_back(Block{std::unique_ptr<uint8_t[]>(new uint8_t[capacity]), capacity});
        }
        const Block& block = m_blocks[m_current];
        const size_t offset = m_size - m_currentStart;
        const size_t room = block.capacity - offset;
        const size_t take = count < room ? count : room;
        std::memcpy(block.data.get() + offset, bytes, take);
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
    size_t end = 0;
    for (const Block& block : m_blocks)
        end += block.capacity;
    for (size_t index = m_blocks.size(); index-- > 0;) {
        const size_t start = end - m_blocks[index].capacity;
        if (start < m_size) {
            const size_t take = (m_size < end ? m_size : end) - start;
            std::memcpy(out + start, m_blocks[index].data.get(), take);
        }
        m_blocks[index].data.reset();
        end = start;
    }
    m_blocks.clear();
    Clear();
}
