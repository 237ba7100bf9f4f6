// Shared by the package tests, native and under Wine: making packages with
// chosen bytes, resealing them after a change, loading them.
#pragma once

#include "package/Md5.h"
#include "package/PackageFormat.h"
#include "package/PackageTable.h"
#include "package/PackageWriter.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pkgtest {

using Files = std::vector<std::pair<std::string, std::string>>;

// Deterministic bytes that do not compress.
inline std::string RandomBytes(size_t count, uint32_t seed)
{
    std::string bytes(count, '\0');
    uint32_t x = seed ? seed : 1;
    for (size_t i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

inline std::string MakePackage(const Files& files, uint8_t key = PACKAGE_DEFAULT_MARKER_KEY)
{
    CPackageWriter writer(key);
    for (const auto& file : files)
        writer.AddEntry(file.first, file.second);
    return writer.Build();
}

inline Md5Digest DigestOf(const std::string& bytes)
{
    return CMd5::Digest(bytes.data(), bytes.size());
}

inline void PutLe32(std::string* bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        (*bytes)[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline uint32_t GetLe32(const std::string& bytes, size_t offset)
{
    return ReadLe32(reinterpret_cast<const uint8_t*>(bytes.data()) + offset);
}

// Recomputes dataDigest of the header at offset over the bytes of the entry
// area that are there, so that a change inside the area reaches the checks
// after the digest.
inline void Reseal(std::string* file, size_t header = 0)
{
    const size_t area = header + PACKAGE_HEADER_SIZE;
    size_t length = GetLe32(*file, header + PACKAGE_OFFSET_DATA_LENGTH);
    if (length > file->size() - area)
        length = file->size() - area;
    const Md5Digest digest = CMd5::Digest(file->data() + area, length);
    file->replace(header + PACKAGE_OFFSET_DATA_DIGEST, digest.size(),
                  reinterpret_cast<const char*>(digest.data()), digest.size());
}

// Offset of entry `index` of a package at offset 0 (walking the sizes).
inline size_t EntryOffset(const std::string& package, uint32_t index)
{
    size_t offset = PACKAGE_HEADER_SIZE;
    for (uint32_t i = 0; i < index; ++i)
        offset += ENTRY_HEADER_SIZE + GetLe32(package, offset + ENTRY_OFFSET_NAME_LENGTH) +
                  GetLe32(package, offset + ENTRY_OFFSET_COMPRESSED_SIZE);
    return offset;
}

// The smallest headers a PE32+ image has, with its data directories; the
// certificate table is directory 4.
inline std::string MinimalPe(uint32_t certificateOffset = 0, uint32_t certificateSize = 0)
{
    const size_t pe = 0x80;
    const size_t optional = pe + 4 + 20;
    const size_t optionalSize = 112 + 16 * 8;
    std::string image(optional + optionalSize + 512, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    PutLe32(&image, 0x3C, static_cast<uint32_t>(pe));
    image.replace(pe, 4, std::string("PE\0\0", 4));
    image[pe + 4 + 16] = static_cast<char>(optionalSize & 0xFF);
    image[pe + 4 + 17] = static_cast<char>(optionalSize >> 8);
    image[optional] = 0x0B;
    image[optional + 1] = 0x02;
    PutLe32(&image, optional + 108, 16);
    PutLe32(&image, optional + 112 + 4 * 8, certificateOffset);
    PutLe32(&image, optional + 112 + 4 * 8 + 4, certificateSize);
    return image;
}

class CLoader {
public:
    CLoader() : m_window(PACKAGE_WINDOW_SIZE) {}

    int32_t Load(const std::string& file)
    {
        return table.Load(reinterpret_cast<const uint8_t*>(file.data()), file.size(), m_window.data(),
                          static_cast<uint32_t>(m_window.size()));
    }

    // The entry's bytes, or "<missing>".
    std::string Entry(const std::string& name) const
    {
        const uint8_t* data = nullptr;
        int32_t size = -1;
        if (!table.Find(name, &data, &size))
            return "<missing>";
        return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
    }

    CPackageTable table;

private:
    std::vector<uint8_t> m_window;
};

}  // namespace pkgtest
