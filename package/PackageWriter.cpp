#include "package/PackageWriter.h"

#include "package/PackageFormat.h"
#include "package/PackageView.h"
#include "package/PeCertificate.h"

#include <zlib.h>

#include <cstring>
#include <utility>

namespace {

constexpr uint64_t MAX_FIELD = 0xFFFFFFFFu;
constexpr uint64_t MAX_CONTENTS = 0x7FFFFFFFu;  // the reader hands sizes out as 32-bit signed

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

enum class StubKind { NOT_PE, PLAIN, SIGNED };

StubKind ClassifyStub(const std::string& stub)
{
    const PeCertificateTable table =
        FindCertificateTable(reinterpret_cast<const uint8_t*>(stub.data()), stub.size());
    if (!table.executable)
        return StubKind::NOT_PE;
    return table.Signed() ? StubKind::SIGNED : StubKind::PLAIN;
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
        SetError(error, "the stub is signed, and its signature would not cover the package: append the package to "
                        "the unsigned stub, then sign");
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
