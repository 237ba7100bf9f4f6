// Where an entry's inflated bytes gather, one output window at a time, until
// their size is known and they move once into a buffer of exactly that size.
// Blocks mean growing never moves bytes already gathered; they start at one
// window and double up to a limit, so small files stay small.
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

    // Empties the buffer; its blocks stay for more bytes.
    void Clear();
    // Throws std::bad_alloc when a block cannot be allocated.
    void Append(const uint8_t* bytes, size_t count);
    size_t Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    // Copies all Size() bytes to out, freeing each block once it is copied,
    // and leaves the buffer empty.
    void MoveTo(uint8_t* out);

private:
    struct Block {
        std::unique_ptr<uint8_t[]> data;
        size_t capacity;
    };

    std::vector<Block> m_blocks;
    size_t m_size;          // bytes gathered
    size_t m_current;       // the block being filled (== m_blocks.size() before the first)
    size_t m_currentStart;  // its offset in the gathered bytes
};
