#include "package/PeCertificate.h"

#include "package/PackageFormat.h"

#include <cstring>

namespace {

// PE layout: the headers, and the security entry of the data directories.
constexpr size_t DOS_LFANEW_OFFSET = 0x3C;
constexpr size_t COFF_HEADER_SIZE = 20;
constexpr size_t COFF_OPTIONAL_SIZE_OFFSET = 16;
constexpr uint16_t OPTIONAL_MAGIC_PE32 = 0x10B;
constexpr uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x20B;
constexpr size_t DATA_DIRECTORIES_PE32 = 96;
constexpr size_t DATA_DIRECTORIES_PE32_PLUS = 112;
constexpr uint32_t DIRECTORY_SECURITY = 4;

uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

PeCertificateTable FindCertificateTable(const uint8_t* p, size_t length)
{
    PeCertificateTable table{false, 0, 0};
    const uint64_t size = length;
    if (size < DOS_LFANEW_OFFSET + 4 || p[0] != 'M' || p[1] != 'Z')
        return table;
    const uint64_t pe = ReadLe32(p + DOS_LFANEW_OFFSET);
    if (pe + 4 + COFF_HEADER_SIZE + 2 > size || std::memcmp(p + pe, "PE\0\0", 4) != 0)
        return table;
    const uint64_t coff = pe + 4;
    const uint64_t optional = coff + COFF_HEADER_SIZE;
    const uint16_t optionalSize = Le16(p + coff + COFF_OPTIONAL_SIZE_OFFSET);
    const uint16_t magic = Le16(p + optional);
    uint64_t directories;
    if (magic == OPTIONAL_MAGIC_PE32)
        directories = DATA_DIRECTORIES_PE32;
    else if (magic == OPTIONAL_MAGIC_PE32_PLUS)
        directories = DATA_DIRECTORIES_PE32_PLUS;
    else
        return table;
    if (directories > optionalSize || optional + directories > size)
        return table;
    table.executable = true;
    const uint32_t count = ReadLe32(p + optional + directories - 4);  // NumberOfRvaAndSizes
    const uint64_t security = optional + directories + 8ull * DIRECTORY_SECURITY;
    if (count <= DIRECTORY_SECURITY || security + 8 > optional + optionalSize || security + 8 > size)
        return table;
    table.offset = ReadLe32(p + security);
    table.size = ReadLe32(p + security + 4);
    return table;
}
