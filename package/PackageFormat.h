// The layout of the package appended to a setup executable, shared by the
// reader, the writer and the package tool. Integers are unsigned 32-bit
// little-endian; nothing is padded.
#pragma once

#include <cstddef>
#include <cstdint>

// Result of a package load.
enum : int32_t {
    PACKAGE_OK = 0,
    PACKAGE_NOT_READ = -1,    // own executable not found, opened or read completely
    PACKAGE_DAMAGED = -2,     // no header, a digest differs, an entry does not inflate
    PACKAGE_NO_MEMORY = -3,   // a buffer could not be allocated
};

// Why a load ended with PACKAGE_DAMAGED, PACKAGE_NO_MEMORY or PACKAGE_NOT_READ;
// the package tool shows it, the setup only shows the status.
enum PackageFault : int32_t {
    FAULT_NONE = 0,
    FAULT_NO_HEADER,          // no magic text followed by a valid marker
    FAULT_HEADER_TRUNCATED,   // the file ends inside the header's fixed fields
    FAULT_AREA_PAST_END,      // dataLength runs past the end of the file
    FAULT_AREA_DIGEST,        // the entry area's MD5 differs from dataDigest
    FAULT_ENTRY_PAST_END,     // an entry's name or data runs past the entry area
    FAULT_INFLATE,            // the zlib stream is damaged or truncated
    FAULT_EMPTY_ENTRY,        // the stream inflates to nothing
    FAULT_ENTRY_TOO_LARGE,    // inflates to more than a 32-bit signed size holds
    FAULT_CONTENT_DIGEST,     // the inflated contents' MD5 differs from contentDigest
    FAULT_NO_MEMORY,          // a buffer could not be allocated
    FAULT_READ,               // the file could not be read (PACKAGE_NOT_READ)
};

// The magic text opens the header; the marker after it proves that this copy
// of the text is a header and not the reader's own constant data.
// One copy per program (inline): two copies of the text side by side in a
// program's constant data would read as a header with key 0, and the reader
// would find it before the package.
inline constexpr char PACKAGE_MAGIC[] = "Korvelline LLC installer system";
constexpr size_t PACKAGE_MAGIC_SIZE = sizeof(PACKAGE_MAGIC) - 1;  // 31, no terminator
constexpr size_t PACKAGE_MARKER_SIZE = PACKAGE_MAGIC_SIZE + 2;     // K, magic ^ K, K ^ K

constexpr size_t PACKAGE_OFFSET_MARKER = PACKAGE_MAGIC_SIZE;
constexpr size_t PACKAGE_OFFSET_DATA_LENGTH = 64;
constexpr size_t PACKAGE_OFFSET_ENTRY_COUNT = 68;
constexpr size_t PACKAGE_OFFSET_DATA_DIGEST = 72;
constexpr size_t PACKAGE_HEADER_SIZE = 88;

constexpr size_t ENTRY_OFFSET_COMPRESSED_SIZE = 0;
constexpr size_t ENTRY_OFFSET_NAME_LENGTH = 4;
constexpr size_t ENTRY_OFFSET_CONTENT_DIGEST = 8;
constexpr size_t ENTRY_HEADER_SIZE = 24;

constexpr size_t MD5_DIGEST_SIZE = 16;

// The reader's work buffer: the window entry headers are read through (and
// the package tool's inflate output window).
constexpr uint32_t PACKAGE_WINDOW_SIZE = 16384;

// The largest inflated entry: sizes are handed out as 32-bit signed numbers.
constexpr size_t PACKAGE_MAX_ENTRY_SIZE = 0x7FFFFFFF;

// zlib's interface version the reader asks for; any 1.x library accepts it.
constexpr char PACKAGE_ZLIB_VERSION[] = "1.2.1";

static_assert(PACKAGE_OFFSET_MARKER + PACKAGE_MARKER_SIZE == PACKAGE_OFFSET_DATA_LENGTH,
              "the marker ends where the fixed fields begin");
static_assert(PACKAGE_OFFSET_DATA_DIGEST + MD5_DIGEST_SIZE == PACKAGE_HEADER_SIZE,
              "the digest closes the header");

inline uint32_t ReadLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
