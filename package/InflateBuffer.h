// Where an entry's inflated bytes gather, one output window at a time, until
// its size is known and they are copied once into a buffer of exactly that
// size. Blocks are kept from one entry to the next, so a load allocates (and
// touches) only as much as its largest entry needs, and growing never moves
// bytes already gathered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class CInflateBuffer {
public:
    CInflateBuffer();
    virtual ~CInflateBuffer();

    CInflateBuffer(const CInflateBuffer&) = delete;
    CInflateBuffer& operator=(const CInflateBuffer&) = delete;

    // Empties the buffer; its blocks stay for the next entry.
    void Clear() { m_size = 0; }
    // Throws std::bad_alloc when a block cannot be allocated.
    void Append(const uint8_t* bytes, size_t count);
    size_t Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    // Copies all Size() bytes to out.
    void CopyTo(uint8_t* out) const;

private:
    std::vector<std::unique_ptr<uint8_t[]>> m_blocks;
    size_t m_size;
};
