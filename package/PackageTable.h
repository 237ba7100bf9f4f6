// The inflated files of a package, in memory, keyed by their names' exact
// bytes. A load keeps nothing unless the whole package is sound; a load that
// fails for any reason leaves the table empty.
#pragma once

#include "package/EntryRegion.h"
#include "package/PackageFormat.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CPackageSource;

class CPackageTable {
public:
    CPackageTable();
    virtual ~CPackageTable();

    CPackageTable(const CPackageTable&) = delete;
    CPackageTable& operator=(const CPackageTable&) = delete;

    // Finds the package in data[0, size), checks it and inflates every entry,
    // on DefaultWorkers() workers. Returns PACKAGE_OK, PACKAGE_DAMAGED or
    // PACKAGE_NO_MEMORY; Fault() says why. Entries of a name already in the
    // table replace it. Never throws. The window is the reader's work buffer;
    // without one the load fails for want of memory.
    int32_t Load(const uint8_t* data, size_t size, uint8_t* window, uint32_t windowSize);
    // The same for a package read from its source piece by piece, on up to
    // `workers` workers; also PACKAGE_NOT_READ when a read fails.
    int32_t Load(const CPackageSource& source, uint8_t* window, uint32_t windowSize, unsigned workers);
    // The processors this machine has, at least 1.
    static unsigned DefaultWorkers();

    // Exact-bytes lookup; the data stays owned by the table.
    bool Find(const std::string& name, const uint8_t** data, int32_t* size) const;

    void Clear();
    size_t Count() const { return m_entries.size(); }
    std::vector<std::string> Names() const;  // in byte order

    PackageFault Fault() const { return m_fault; }
    // One line saying why the last load failed, naming the entry concerned.
    std::string FaultText() const;

private:
    // Exactly the inflated contents, in a heap block or in the region they
    // were inflated into.
    struct Entry {
        std::unique_ptr<uint8_t[]> heap;
        CEntryRegion region;
        const uint8_t* data = nullptr;
        int32_t size = 0;
    };

    int32_t Fail(PackageFault fault, uint32_t entry, const std::string& name);

    std::map<std::string, Entry> m_entries;
    PackageFault m_fault;
    uint32_t m_faultEntry;
    std::string m_faultName;
};
