// MD5 message digest (RFC 1321): the package's integrity check over the entry
// area and over every inflated file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Md5Digest = std::array<uint8_t, 16>;

class CMd5 {
public:
    CMd5();
    virtual ~CMd5();

    void Update(const void* data, size_t size);
    // The digest of everything passed to Update; the object then starts over.
    Md5Digest Final();

    static Md5Digest Digest(const void* data, size_t size);
    // Lower-case hex, as md5sum prints it.
    static std::string ToHex(const Md5Digest& digest);

private:
    void Reset();
    void Transform(const uint8_t* block);

    uint32_t m_state[4];
    uint64_t m_length;       // bytes so far
    uint8_t m_buffer[64];    // the open block
    size_t m_buffered;
};
