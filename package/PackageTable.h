// The inflated files of a package, in memory, keyed by their names' exact
// bytes. Loading verifies the whole package first; a load that fails for any
// reason leaves the table empty.
#pragma once

#include "package/PackageFormat.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CPackageTable {
public:
    CPackageTable();
    virtual ~CPackageTable();

    CPackageTable(const CPackageTable&) = delete;
    CPackageTable& operator=(const CPackageTable&) = delete;

    // Finds the package in data[0, size), checks it and inflates every entry
    // through the window. Returns PACKAGE_OK, PACKAGE_DAMAGED or
    // PACKAGE_NO_MEMORY; Fault() says why. Entries of a name already in the
    // table replace it. Never throws.
    int32_t Load(const uint8_t* data, size_t size, uint8_t* window, uint32_t windowSize);

    // Exact-bytes lookup; the data stays owned by the table.
    bool Find(const std::string& name, const uint8_t** data, int32_t* size) const;

    void Clear();
    size_t Count() const { return m_entries.size(); }
    std::vector<std::string> Names() const;  // in byte order

    PackageFault Fault() const { return m_fault; }
    // One line saying why the last load failed, naming the entry concerned.
    std::string FaultText() const;

private:
    struct Entry {
        std::unique_ptr<uint8_t[]> data;  // exactly the inflated contents
        int32_t size;
    };

    int32_t Fail(PackageFault fault, uint32_t entry, const std::string& name);

    std::map<std::string, Entry> m_entries;
    PackageFault m_fault;
    uint32_t m_faultEntry;
    std::string m_faultName;
};
