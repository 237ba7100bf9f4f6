// Where a package's bytes come from: a block already in memory, or a file
// read piece by piece at given offsets, so that a reader never needs the
// whole file at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

class CPackageSource {
public:
    // Reads exactly count bytes at offset into buffer; false when they cannot
    // all be read. Called from several threads at once.
    using ReadFunction = std::function<bool(uint64_t offset, uint8_t* buffer, size_t count)>;

    // The block is borrowed; it must outlive the source.
    CPackageSource(const uint8_t* data, size_t size);
    CPackageSource(uint64_t size, ReadFunction read);
    virtual ~CPackageSource();

    CPackageSource(const CPackageSource&) = delete;
    CPackageSource& operator=(const CPackageSource&) = delete;

    uint64_t Size() const { return m_size; }
    // A block in memory needs no buffers to be read through.
    bool InMemory() const { return m_inMemory; }

    // The bytes [offset, offset + count), which must lie inside Size(): a
    // pointer into the block, or into scratch (count bytes) once they have
    // been read there. nullptr when the read fails.
    const uint8_t* Get(uint64_t offset, size_t count, uint8_t* scratch) const;

private:
    bool m_inMemory;
    const uint8_t* m_data;
    uint64_t m_size;
    ReadFunction m_read;
};
