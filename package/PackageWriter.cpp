#include "package/PackageWriter.h"

#include "package/PackageFormat.h"
#include "package/PackageView.h"

#include <zlib.h>

#include <cstring>
#include <utility>

namespace {

constexpr uint64_t MAX_FIELD = 0xFFFFFFFFu;
constexpr uint64_t MAX_CONTENTS = 0x7FFFFFFFu;  // the reader hands sizes out as 32-bit signed

// PE layout: where the headers say the certificate table is.
constexpr size_t DOS_LFANEW_OFFSET = 0x3C;
constexpr size_t COFF_HEADER_SIZE = 20;
constexpr size_t COFF_OPTIONAL_SIZE_OFFSET = 16;
constexpr uint16_t OPTIONAL_MAGIC_PE32 = 0x10B;
constexpr uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x20B;
constexpr size_t DATA_DIRECTORIES_PE32 = 96;
constexpr size_t DATA_DIRECTORIES_PE32_PLUS = 112;
constexpr uint32_t DIRECTORY_SECURITY = 4;

void SetError(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

void PutLe32(std::string* out, uint32_t v)
{
    out->push_back(static_cast<char>(v & 0xFF));
    out->push_back(static_cast<char>((v >> 8) & 0xFF));
    out->push_back(static_cast<char>((v >> 16) & 0xFF));
    out->push_back(static_cast<char>((v >> 24) & 0xFF));
}

uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

enum class StubKind { NOT_PE, PLAIN, SIGNED };

// Every offset is checked against the stub's length before it is read.
StubKind ClassifyStub(const std::string& stub)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(stub.data());
    const uint64_t size = stub.size();
    if (size < DOS_LFANEW_OFFSET + 4 || p[0] != 'M' || p[1] != 'Z')
        return StubKind::NOT_PE;
    const uint64_t pe = ReadLe32(p + DOS_LFANEW_OFFSET);
    if (pe + 4 + COFF_HEADER_SIZE + 2 > size || std::memcmp(p + pe, "PE\0\0", 4) != 0)
        return StubKind::NOT_PE;
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
        return StubKind::NOT_PE;
    if (directories > optionalSize || optional + directories > size)
        return StubKind::NOT_PE;
    const uint32_t count = ReadLe32(p + optional + directories - 4);  // NumberOfRvaAndSizes
    const uint64_t security = optional + directories + 8ull * DIRECTORY_SECURITY;
    if (count <= DIRECTORY_SECURITY || security + 8 > optional + optionalSize || security + 8 > size)
        return StubKind::PLAIN;
    const uint32_t tableOffset = ReadLe32(p + security);
    const uint32_t tableSize = ReadLe32(p + security + 4);
    return tableOffset != 0 || tableSize != 0 ? StubKind::SIGNED : StubKind::PLAIN;
}

}  // namespace

CPackageWriter::CPackageWriter(uint8_t markerKey) : m_markerKey(markerKey) {}

CPackageWriter::~CPackageWriter() = default;

std::string CPackageWriter::Compress(const std::string& contents)
{
    uLongf bound = compressBound(static_cast<uLong>(contents.size()));
    std::string out(bound, '\0');
    const int ret = compress2(reinterpret_cast<Bytef*>(&out[0]), &bound,
                              reinterpret_cast<const Bytef*>(contents.data()),
                              static_cast<uLong>(contents.size()), Z_BEST_COMPRESSION);
    if (ret != Z_OK)
        return std::string();
    out.resize(bound);
    return out;
}

bool CPackageWriter::AddEntry(const std::string& name, const std::string& contents, std::string* error)
{
    if (contents.empty()) {
        SetError(error, "the file is empty, and a package cannot carry an empty file");
        return false;
    }
    if (contents.size() > MAX_CONTENTS) {
        SetError(error, "the file is larger than 2 GiB");
        return false;
    }
    const std::string data = Compress(contents);
    if (data.empty()) {
        SetError(error, "zlib could not compress the file");
        return false;
    }
    return AddRawEntry(name, data, CMd5::Digest(contents.data(), contents.size()), error);
}

bool CPackageWriter::AddRawEntry(const std::string& name, const std::string& data, const Md5Digest& contentDigest,
                                 std::string* error)
{
    if (name.size() > MAX_FIELD || data.size() > MAX_FIELD) {
        SetError(error, "the entry is larger than 4 GiB");
        return false;
    }
    m_entries.push_back(Entry{name, data, contentDigest});
    return true;
}

std::string CPackageWriter::Build(std::string* error) const
{
    uint64_t areaSize = 0;
    for (const Entry& entry : m_entries)
        areaSize += ENTRY_HEADER_SIZE + entry.name.size() + entry.data.size();
    if (areaSize > MAX_FIELD) {
        SetError(error, "the entries take more than 4 GiB");
        return std::string();
    }

    std::string area;
    area.reserve(static_cast<size_t>(areaSize));
    for (const Entry& entry : m_entries) {
        PutLe32(&area, static_cast<uint32_t>(entry.data.size()));
        PutLe32(&area, static_cast<uint32_t>(entry.name.size()));
        area.append(reinterpret_cast<const char*>(entry.contentDigest.data()), entry.contentDigest.size());
        area += entry.name;
        area += entry.data;
    }

    std::string package;
    package.reserve(PACKAGE_HEADER_SIZE + area.size());
    package.append(PACKAGE_MAGIC, PACKAGE_MAGIC_SIZE);
    package.push_back(static_cast<char>(m_markerKey));
    for (size_t i = 0; i < PACKAGE_MAGIC_SIZE; ++i)
        package.push_back(static_cast<char>(static_cast<uint8_t>(PACKAGE_MAGIC[i]) ^ m_markerKey));
    package.push_back('\0');  // K XOR K
    PutLe32(&package, static_cast<uint32_t>(area.size()));
    PutLe32(&package, static_cast<uint32_t>(m_entries.size()));
    const Md5Digest digest = CMd5::Digest(area.data(), area.size());
    package.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    package += area;
    return package;
}

bool CPackageWriter::AppendToStub(const std::string& stub, const std::string& package, std::string* setup,
                                  std::string* error)
{
    switch (ClassifyStub(stub)) {
    case StubKind::NOT_PE:
        SetError(error, "the stub is not a Windows executable");
        return false;
    case StubKind::SIGNED:
        SetError(error, "the stub has an Authenticode certificate table; append the package first, then sign");
        return false;
    case StubKind::PLAIN:
        break;
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(stub.data());
    if (CPackageView::FindHeader(bytes, stub.size()) != CPackageView::NOT_FOUND) {
        SetError(error, "the stub already carries a package");
        return false;
    }
    const uint8_t* packed = reinterpret_cast<const uint8_t*>(package.data());
    if (CPackageView::FindHeader(packed, package.size()) != 0) {
        SetError(error, "the package does not begin with a package header");
        return false;
    }
    std::string joined = stub;
    joined += package;
    // The reader scans from the start: it must meet this package's header
    // first, not one formed by the stub's last bytes and the package's first.
    if (CPackageView::FindHeader(reinterpret_cast<const uint8_t*>(joined.data()), joined.size()) != stub.size()) {
        SetError(error, "the stub's last bytes would be read as a package header");
        return false;
    }
    *setup = std::move(joined);
    return true;
}
