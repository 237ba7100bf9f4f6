// The package reader: reads the setup's own executable, finds and verifies
// the appended package and keeps every inflated file in memory, by name.
#pragma once

#include "package/PackageFormat.h"

#include <cstdint>
#include <memory>
#include <string>

class CPackageTable;

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
    std::unique_ptr<uint8_t[]> m_workBuffer;  // the inflate output window
    uint32_t m_workBufferSize = 0;
    std::unique_ptr<CPackageTable> m_table;
};
