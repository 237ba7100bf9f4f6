#include "package/PackageView.h"

#include <cstdio>
#include <cstring>

namespace {

const uint8_t* Magic()
{
    return reinterpret_cast<const uint8_t*>(PACKAGE_MAGIC);
}

}  // namespace

CPackageView::CPackageView()
    : m_headerOffset(NOT_FOUND), m_markerKey(0), m_dataLength(0), m_faultEntry(0)
{
}

CPackageView::~CPackageView() = default;

std::string CPackageView::Printable(const std::string& name)
{
    constexpr size_t MAX_SHOWN = 200;
    std::string text;
    for (size_t i = 0; i < name.size() && i < MAX_SHOWN; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            text.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            text += escaped;
        }
    }
    if (name.size() > MAX_SHOWN)
        text += "...";
    return text;
}

// The marker is K, then every magic byte XORed with K, then K XOR K.
bool CPackageView::MarkerMatches(const uint8_t* marker)
{
    const uint8_t key = marker[0];
    for (size_t i = 0; i < PACKAGE_MAGIC_SIZE; ++i) {
        if (marker[1 + i] != static_cast<uint8_t>(Magic()[i] ^ key))
            return false;
    }
    return marker[PACKAGE_MARKER_SIZE - 1] == 0;
}

size_t CPackageView::MatchMagic(const uint8_t* data, size_t size, size_t* matched)
{
    const uint8_t* magic = Magic();
    size_t pos = 0;
    while (pos < size) {
        if (*matched == 0) {
            // Bytes that cannot start the magic leave the counter at 0: skip them in bulk.
            const void* next = std::memchr(data + pos, magic[0], size - pos);
            if (!next)
                return NOT_FOUND;
            pos = static_cast<size_t>(static_cast<const uint8_t*>(next) - data);
        }
        const uint8_t byte = data[pos];
        if (byte == magic[*matched]) {
            ++*matched;
        } else {
            // The byte that broke a partial match may itself begin the magic;
            // otherwise a package right after such a byte would never be found.
            *matched = byte == magic[0] ? 1 : 0;
        }
        ++pos;
        if (*matched == PACKAGE_MAGIC_SIZE) {
            *matched = 0;
            return pos;
        }
    }
    return NOT_FOUND;
}

size_t CPackageView::FindHeader(const uint8_t* data, size_t size)
{
    size_t matched = 0;
    size_t pos = 0;
    while (pos < size) {
        const size_t end = MatchMagic(data + pos, size - pos, &matched);
        if (end == NOT_FOUND)
            break;
        pos += end;
        if (size - pos >= PACKAGE_MARKER_SIZE && MarkerMatches(data + pos))
            return pos - PACKAGE_MAGIC_SIZE;
        // Not a header (the reader's own copy of the text, say): go on with
        // the byte after the magic.
    }
    return NOT_FOUND;
}

PackageFault CPackageView::Open(const uint8_t* data, size_t size)
{
    m_headerOffset = NOT_FOUND;
    m_markerKey = 0;
    m_dataLength = 0;
    m_faultEntry = 0;
    m_entries.clear();

    const size_t header = FindHeader(data, size);
    if (header == NOT_FOUND)
        return FAULT_NO_HEADER;
    m_headerOffset = header;
    m_markerKey = data[header + PACKAGE_OFFSET_MARKER];

    // All sizes are checked in 64 bits against the bytes that are really there.
    const uint64_t available = static_cast<uint64_t>(size) - header;
    if (available < PACKAGE_HEADER_SIZE)
        return FAULT_HEADER_TRUNCATED;
    const uint8_t* fields = data + header;
    m_dataLength = ReadLe32(fields + PACKAGE_OFFSET_DATA_LENGTH);
    const uint32_t entryCount = ReadLe32(fields + PACKAGE_OFFSET_ENTRY_COUNT);
    if (static_cast<uint64_t>(m_dataLength) > available - PACKAGE_HEADER_SIZE)
        return FAULT_AREA_PAST_END;

    const uint8_t* area = fields + PACKAGE_HEADER_SIZE;
    const Md5Digest digest = CMd5::Digest(area, m_dataLength);
    if (std::memcmp(digest.data(), fields + PACKAGE_OFFSET_DATA_DIGEST, MD5_DIGEST_SIZE) != 0)
        return FAULT_AREA_DIGEST;

    // Only now that the area is known to be what the writer wrote are its
    // entries looked at. Every entry takes at least its 24 fixed bytes, so a
    // huge entryCount ends at the area's end rather than looping on.
    uint64_t offset = 0;
    for (uint32_t index = 0; index < entryCount; ++index) {
        const uint64_t left = m_dataLength - offset;
        if (left < ENTRY_HEADER_SIZE) {
            m_faultEntry = index;
            m_entries.clear();
            return FAULT_ENTRY_PAST_END;
        }
        const uint8_t* entry = area + offset;
        PackageEntryView view;
        view.compressedSize = ReadLe32(entry + ENTRY_OFFSET_COMPRESSED_SIZE);
        view.nameLength = ReadLe32(entry + ENTRY_OFFSET_NAME_LENGTH);
        std::memcpy(view.contentDigest.data(), entry + ENTRY_OFFSET_CONTENT_DIGEST, MD5_DIGEST_SIZE);
        const uint64_t total = ENTRY_HEADER_SIZE + static_cast<uint64_t>(view.nameLength) + view.compressedSize;
        if (total > left) {
            m_faultEntry = index;
            m_entries.clear();
            return FAULT_ENTRY_PAST_END;
        }
        view.name = entry + ENTRY_HEADER_SIZE;
        view.data = view.name + view.nameLength;
        m_entries.push_back(view);
        offset += total;
    }
    return FAULT_NONE;
}
