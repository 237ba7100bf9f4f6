#include "package/PackageTable.h"

#include "package/PackageLoad.h"
#include "package/PackageSource.h"
#include "package/PackageView.h"

#include <cstdio>
#include <new>
#include <thread>

CPackageTable::CPackageTable() : m_fault(FAULT_NONE), m_faultEntry(0) {}

CPackageTable::~CPackageTable() = default;

unsigned CPackageTable::DefaultWorkers()
{
    const unsigned processors = std::thread::hardware_concurrency();
    return processors ? processors : 1;
}

int32_t CPackageTable::Fail(PackageFault fault, uint32_t entry, const std::string& name)
{
    m_fault = fault;
    m_faultEntry = entry;
    m_faultName = name;
    Clear();
    switch (fault) {
    case FAULT_NO_MEMORY:
        return PACKAGE_NO_MEMORY;
    case FAULT_READ:
        return PACKAGE_NOT_READ;
    default:
        return PACKAGE_DAMAGED;
    }
}

int32_t CPackageTable::Load(const uint8_t* data, size_t size, uint8_t* window, uint32_t windowSize)
{
    const CPackageSource source(data, size);
    return Load(source, window, windowSize, DefaultWorkers());
}

int32_t CPackageTable::Load(const CPackageSource& source, uint8_t* window, uint32_t windowSize, unsigned workers)
{
    m_fault = FAULT_NONE;
    m_faultEntry = 0;
    m_faultName.clear();
    try {
        CPackageLoad load(source, window, windowSize, workers);
        PackageFault fault = load.Open();
        if (fault != FAULT_NONE)
            return Fail(fault, load.FaultEntry(), load.FaultName());
        // Entries of these names leave the table whatever comes: replaced
        // when the load succeeds, with everything else when it fails. Gone
        // now, a repeated load never holds two copies of the package.
        for (const std::string& name : load.Names())
            m_entries.erase(name);
        fault = load.Finish();
        if (fault != FAULT_NONE)
            return Fail(fault, load.FaultEntry(), load.FaultName());

        // In package order: a later entry of the same name replaces the
        // earlier one and frees its memory.
        for (CPackageLoad::Entry& loaded : load.Entries()) {
            Entry& stored = m_entries[std::move(loaded.name)];
            stored.heap = std::move(loaded.heap);
            stored.region = std::move(loaded.region);
            stored.data = loaded.data;
            stored.size = static_cast<int32_t>(loaded.size);
        }
        return PACKAGE_OK;
    } catch (const std::bad_alloc&) {
        return Fail(FAULT_NO_MEMORY, 0, std::string());
    }
}

bool CPackageTable::Find(const std::string& name, const uint8_t** data, int32_t* size) const
{
    const auto it = m_entries.find(name);
    if (it == m_entries.end())
        return false;
    if (data)
        *data = it->second.data;
    if (size)
        *size = it->second.size;
    return true;
}

void CPackageTable::Clear()
{
    m_entries.clear();
}

std::vector<std::string> CPackageTable::Names() const
{
    std::vector<std::string> names;
    names.reserve(m_entries.size());
    for (const auto& entry : m_entries)
        names.push_back(entry.first);
    return names;
}

std::string CPackageTable::FaultText() const
{
    char index[16];
    std::snprintf(index, sizeof(index), "%u", static_cast<unsigned>(m_faultEntry + 1));
    const std::string entry = std::string("entry ") + index + " \"" + CPackageView::Printable(m_faultName) + "\"";
    switch (m_fault) {
    case FAULT_NONE:
        return "the package is sound";
    case FAULT_NO_HEADER:
        return "no package header (magic text with a valid marker) found";
    case FAULT_HEADER_TRUNCATED:
        return "the file ends inside the package header";
    case FAULT_AREA_PAST_END:
        return "the entry area runs past the end of the file";
    case FAULT_AREA_DIGEST:
        return "the entry area's MD5 digest differs";
    case FAULT_ENTRY_PAST_END:
        return std::string("entry ") + index + " runs past the end of the entry area";
    case FAULT_INFLATE:
        return entry + " does not inflate (damaged or truncated zlib stream)";
    case FAULT_EMPTY_ENTRY:
        return entry + " inflates to nothing";
    case FAULT_ENTRY_TOO_LARGE:
        return entry + " inflates to more than 2 GiB";
    case FAULT_CONTENT_DIGEST:
        return entry + ": the MD5 digest of its contents differs";
    case FAULT_NO_MEMORY:
        return "not enough memory to load the package";
    case FAULT_READ:
        return "the file could not be read";
    }
    return "unknown fault";
}
