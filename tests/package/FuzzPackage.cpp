// libFuzzer target: the package reader over arbitrary bytes. Each input is
// loaded as it is, then again with its digests made to fit, so that mutations
// get past the entry area's MD5 to the entry walk, inflating and the table.
#include "package/EntryInflater.h"
#include "package/InflateBuffer.h"
#include "package/Md5.h"
#include "package/PackageFormat.h"
#include "package/PackageTable.h"
#include "package/PackageView.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void PutLe32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A failed load leaves nothing behind; a good one serves every entry.
void CheckTable(const CPackageTable& table, int32_t status)
{
    if (status != PACKAGE_OK) {
        if (table.Count() != 0 || table.Fault() == FAULT_NONE)
            std::abort();
        return;
    }
    for (const std::string& name : table.Names()) {
        const uint8_t* data = nullptr;
        int32_t size = 0;
        if (!table.Find(name, &data, &size) || size <= 0 || data == nullptr)
            std::abort();
        volatile uint8_t last = data[size - 1];
        (void)last;
    }
}

// Clamps dataLength to the bytes there are and rewrites the area digest.
bool SealArea(std::vector<uint8_t>* file, size_t header)
{
    if (file->size() - header < PACKAGE_HEADER_SIZE)
        return false;
    uint8_t* fields = file->data() + header;
    const uint64_t available = file->size() - header - PACKAGE_HEADER_SIZE;
    uint32_t length = ReadLe32(fields + PACKAGE_OFFSET_DATA_LENGTH);
    if (length > available)
        length = static_cast<uint32_t>(available);
    PutLe32(fields + PACKAGE_OFFSET_DATA_LENGTH, length);
    const Md5Digest digest = CMd5::Digest(fields + PACKAGE_HEADER_SIZE, length);
    std::memcpy(fields + PACKAGE_OFFSET_DATA_DIGEST, digest.data(), digest.size());
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::vector<uint8_t> window(PACKAGE_WINDOW_SIZE);

    CPackageTable table;
    CheckTable(table, table.Load(data, size, window.data(), PACKAGE_WINDOW_SIZE));

    std::vector<uint8_t> file(data, data + size);
    const size_t header = CPackageView::FindHeader(file.data(), file.size());
    if (header == CPackageView::NOT_FOUND || !SealArea(&file, header))
        return 0;

    // Give every entry that inflates the digest of what it inflates to.
    CPackageView view;
    if (view.Open(file.data(), file.size()) == FAULT_NONE) {
        CEntryInflater inflater(window.data(), PACKAGE_WINDOW_SIZE);
        CInflateBuffer inflated;
        std::vector<uint8_t> contents;
        bool allInflate = true;
        for (const PackageEntryView& entry : view.Entries()) {
            if (inflater.Inflate(entry.data, entry.compressedSize, &inflated) != FAULT_NONE || inflated.Empty()) {
                allInflate = false;
                continue;
            }
            contents.resize(inflated.Size());
            inflated.MoveTo(contents.data());
            const Md5Digest digest = CMd5::Digest(contents.data(), contents.size());
            uint8_t* slot = const_cast<uint8_t*>(entry.name) - ENTRY_HEADER_SIZE + ENTRY_OFFSET_CONTENT_DIGEST;
            std::memcpy(slot, digest.data(), digest.size());
        }
        SealArea(&file, header);
        const int32_t status = table.Load(file.data(), file.size(), window.data(), PACKAGE_WINDOW_SIZE);
        CheckTable(table, status);
        if (allInflate && status != PACKAGE_OK)
            std::abort();
        return 0;
    }
    CheckTable(table, table.Load(file.data(), file.size(), window.data(), PACKAGE_WINDOW_SIZE));
    return 0;
}
