// The package reader: reads the setup's own executable, finds and verifies
// the appended package and keeps every inflated file in memory, by name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CPackageTable;

// Result of a package load.
enum : int32_t {
    PACKAGE_OK = 0,
    PACKAGE_NOT_READ = -1,    // own executable not found, opened or read completely
    PACKAGE_DAMAGED = -2,     // no header, a digest differs, an entry does not inflate
    PACKAGE_NO_MEMORY = -3,   // a buffer could not be allocated
};

class CPackedTools {
public:
    CPackedTools();
    virtual ~CPackedTools();

    CPackedTools(const CPackedTools&) = delete;
    CPackedTools& operator=(const CPackedTools&) = delete;

    // Reads and verifies the package of the running executable; true when
    // Status() is PACKAGE_OK. A failed load leaves no entries.
    bool LoadPackage();

    // Exact-bytes lookup. The data stays owned by the reader.
    bool FindEntry(const std::string& name, const uint8_t** data, int32_t* size) const;

    int32_t Status() const { return m_status; }

private:
    int32_t m_status = PACKAGE_OK;
    std::unique_ptr<CPackageTable> m_table;
};
