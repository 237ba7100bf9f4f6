#include "package/PackageTable.h"

#include "package/EntryInflater.h"
#include "package/InflateBuffer.h"
#include "package/Md5.h"
#include "package/PackageView.h"

#include <cstdio>
#include <new>

CPackageTable::CPackageTable() : m_fault(FAULT_NONE), m_faultEntry(0) {}

CPackageTable::~CPackageTable() = default;

int32_t CPackageTable::Fail(PackageFault fault, uint32_t entry, const std::string& name)
{
    m_fault = fault;
    m_faultEntry = entry;
    m_faultName = name;
    Clear();
    return fault == FAULT_NO_MEMORY ? PACKAGE_NO_MEMORY : PACKAGE_DAMAGED;
}

int32_t CPackageTable::Load(const uint8_t* data, size_t size, uint8_t* window, uint32_t windowSize)
{
    m_fault = FAULT_NONE;
    m_faultEntry = 0;
    m_faultName.clear();
    uint32_t index = 0;
    try {
        CPackageView view;
        const PackageFault fault = view.Open(data, size);
        if (fault != FAULT_NONE)
            return Fail(fault, view.FaultEntry(), std::string());

        CEntryInflater inflater(window, windowSize);
        CInflateBuffer inflated;
        for (const PackageEntryView& entry : view.Entries()) {
            std::string name = entry.Name();
            PackageFault entryFault = inflater.Inflate(entry.data, entry.compressedSize, &inflated);
            if (entryFault == FAULT_NONE && inflated.Empty())
                entryFault = FAULT_EMPTY_ENTRY;
            if (entryFault != FAULT_NONE)
                return Fail(entryFault, index, name);

            Entry stored;
            stored.data.reset(new (std::nothrow) uint8_t[inflated.Size()]);
            if (!stored.data)
                return Fail(FAULT_NO_MEMORY, index, name);
            stored.size = static_cast<int32_t>(inflated.Size());
            inflated.MoveTo(stored.data.get());

            const Md5Digest digest = CMd5::Digest(stored.data.get(), static_cast<size_t>(stored.size));
            if (digest != entry.contentDigest)
                return Fail(FAULT_CONTENT_DIGEST, index, name);

            // A later entry of the same name replaces the earlier one and frees its buffer.
            m_entries[std::move(name)] = std::move(stored);
            ++index;
        }
        return PACKAGE_OK;
    } catch (const std::bad_alloc&) {
        return Fail(FAULT_NO_MEMORY, index, std::string());
    }
}

bool CPackageTable::Find(const std::string& name, const uint8_t** data, int32_t* size) const
{
    const auto it = m_entries.find(name);
    if (it == m_entries.end())
        return false;
    if (data)
        *data = it->second.data.get();
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
    }
    return "unknown fault";
}
