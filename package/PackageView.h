// A package found inside a block of memory (usually a whole executable file):
// the header located by its magic text and marker, the entry area checked
// against its digest and every entry checked to lie inside that area. The
// view borrows the memory; nothing is copied or inflated here.
#pragma once

#include "package/Md5.h"
#include "package/PackageFormat.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PackageEntryView {
    const uint8_t* name;
    uint32_t nameLength;
    const uint8_t* data;       // the zlib stream and whatever follows it within compressedSize
    uint32_t compressedSize;
    Md5Digest contentDigest;

    std::string Name() const { return std::string(reinterpret_cast<const char*>(name), nameLength); }
};

class CPackageView {
public:
    static constexpr size_t NOT_FOUND = static_cast<size_t>(-1);

    CPackageView();
    virtual ~CPackageView();

    // Offset of the first magic text that is followed by a valid marker, or
    // NOT_FOUND.
    static size_t FindHeader(const uint8_t* data, size_t size);
    // The header search's matcher, for bytes that arrive in pieces: the
    // offset just past the first complete magic text in data[0, size), or
    // NOT_FOUND. *matched carries a partial match from one piece into the
    // next and starts at 0.
    static size_t MatchMagic(const uint8_t* data, size_t size, size_t* matched);
    // Whether the PACKAGE_MARKER_SIZE bytes after a magic text make it a header.
    static bool MarkerMatches(const uint8_t* marker);

    // A name as a message may show it: printable ASCII, other bytes as \xNN,
    // at most 200 bytes of it.
    static std::string Printable(const std::string& name);

    // Locates and checks the package in data[0, size). FAULT_NONE when the
    // header, the entry area digest and every entry's bounds are sound; the
    // entries are then available in stored order. May throw std::bad_alloc.
    PackageFault Open(const uint8_t* data, size_t size);

    size_t HeaderOffset() const { return m_headerOffset; }
    uint8_t MarkerKey() const { return m_markerKey; }
    // Bytes from the header's first byte to the end of the entry area.
    uint64_t PackageSize() const { return PACKAGE_HEADER_SIZE + static_cast<uint64_t>(m_dataLength); }
    const std::vector<PackageEntryView>& Entries() const { return m_entries; }
    // The index of the entry that broke the bounds (FAULT_ENTRY_PAST_END).
    uint32_t FaultEntry() const { return m_faultEntry; }

private:
    size_t m_headerOffset;
    uint8_t m_markerKey;
    uint32_t m_dataLength;
    uint32_t m_faultEntry;
    std::vector<PackageEntryView> m_entries;
};
