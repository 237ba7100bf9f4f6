// Builds packages in the reader's format, and setup programs from a stub
// executable and a package. Used by the package tool and by tests that need
// packages of their own (missing entries, odd layouts).
#pragma once

#include "package/Md5.h"

#include <cstdint>
#include <string>
#include <vector>

// The marker key of the packages this writer makes; the reader accepts any.
constexpr uint8_t PACKAGE_DEFAULT_MARKER_KEY = 0xA5;

class CPackageWriter {
public:
    explicit CPackageWriter(uint8_t markerKey = PACKAGE_DEFAULT_MARKER_KEY);
    virtual ~CPackageWriter();

    // Compresses contents (zlib level 9) into a new entry after the others.
    // False, with the reason in *error, for contents no reader would accept
    // (empty) or that 32-bit sizes cannot describe.
    bool AddEntry(const std::string& name, const std::string& contents, std::string* error = nullptr);

    // An entry exactly as given: any stream bytes and any digest. For
    // packages that other writers could make, sound or not.
    bool AddRawEntry(const std::string& name, const std::string& data, const Md5Digest& contentDigest,
                     std::string* error = nullptr);

    size_t Count() const { return m_entries.size(); }

    // Header and entries in the order they were added; empty (with *error)
    // when the entry area would pass 4 GiB.
    std::string Build(std::string* error = nullptr) const;

    // zlib level 9: the stream starts with 0x78 0xDA.
    static std::string Compress(const std::string& contents);

    // The setup program: stub bytes followed by the package. Refuses a stub
    // that is not a Windows executable, already carries a package, or is
    // signed (an Authenticode certificate table must come last: sign after
    // appending).
    static bool AppendToStub(const std::string& stub, const std::string& package, std::string* setup,
                             std::string* error = nullptr);

private:
    struct Entry {
        std::string name;
        std::string data;
        Md5Digest contentDigest;
    };

    uint8_t m_markerKey;
    std::vector<Entry> m_entries;
};
