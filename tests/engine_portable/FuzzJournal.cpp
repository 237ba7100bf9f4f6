// Fuzz target of the journal's reader: whatever a file holds, reading it
// never goes past its bytes, the records it accepts encode back to exactly
// the bytes they were read from, and the runs read from them never fail.
#include "engine/JournalFormat.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const JournalReadResult read = ReadJournalRecords(bytes);
    if (read.validLength > bytes.size() || read.records.size() != read.offsets.size())
        abort();
    std::string again;
    for (size_t i = 0; i < read.records.size(); ++i)
        again += EncodeRecord(static_cast<uint32_t>(i), read.records[i]);
    if (again != bytes.substr(0, read.validLength))
        abort();
    if (read.status == JournalReadResult::Whole && read.validLength != bytes.size())
        abort();
    const JournalRuns runs = ReadJournalRuns(read);
    if (runs.unfinished && runs.unfinishedOffset >= bytes.size())
        abort();
    for (const JournalRecord& record : read.records) {
        std::vector<SavedRegistryValue> values;
        std::vector<RenamePair> pairs;
        FirewallChange change;
        for (const std::string& field : record.fields) {
            DecodeValues(field, &values);
            DecodePairs(field, &pairs);
            DecodeFirewall(field, &change);
        }
    }
    return 0;
}
