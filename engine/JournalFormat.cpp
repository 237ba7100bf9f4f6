#include "engine/JournalFormat.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

const char RECORD_MAGIC[4] = {'V', 'J', 'R', '0' + JOURNAL_FORMAT_VERSION};
constexpr size_t RECORD_HEAD = 16;  // magic, sequence, length, checksum
// No record of ours comes near this; a larger length is damage.
constexpr uint32_t MAX_RECORD_PAYLOAD = 64u * 1024u * 1024u;

std::array<uint32_t, 256> MakeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

void PutU16(std::string* out, uint16_t value)
{
    out->push_back(static_cast<char>(value & 0xFF));
    out->push_back(static_cast<char>(value >> 8));
}

void PutU32(std::string* out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out->push_back(static_cast<char>((value >> shift) & 0xFF));
}

uint32_t U32At(const std::string& bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

uint16_t U16At(const std::string& bytes, size_t at)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                 static_cast<unsigned char>(bytes[at + 1]) << 8);
}

bool DecodePayload(const std::string& payload, JournalRecord* record)
{
    if (payload.size() < 4)
        return false;
    record->kind = static_cast<RecordKind>(U16At(payload, 0));
    const uint16_t count = U16At(payload, 2);
    record->fields.clear();
    size_t at = 4;
    for (uint16_t i = 0; i < count; ++i) {
        if (payload.size() - at < 4)
            return false;
        const uint32_t length = U32At(payload, at);
        at += 4;
        if (length > payload.size() - at)
            return false;
        record->fields.emplace_back(payload, at, length);
        at += length;
    }
    return at == payload.size();
}

enum class Check { Good, Short, Bad };

// Whether a whole, intact record with the given sequence number starts at `at`.
Check CheckRecord(const std::string& bytes, size_t at, uint32_t sequence, JournalRecord* record, size_t* size)
{
    if (bytes.size() - at < RECORD_HEAD)
        return memcmp(bytes.data() + at, RECORD_MAGIC, std::min<size_t>(4, bytes.size() - at)) == 0 ? Check::Short
                                                                                                  : Check::Bad;
    if (memcmp(bytes.data() + at, RECORD_MAGIC, 4) != 0)
        return Check::Bad;
    const uint32_t length = U32At(bytes, at + 8);
    if (length > MAX_RECORD_PAYLOAD)
        return Check::Bad;
    if (bytes.size() - at - RECORD_HEAD < length)
        return Check::Short;
    const uint32_t expected = U32At(bytes, at + 12);
    uint32_t crc = Crc32(bytes.data() + at + 4, 8);
    crc = Crc32(bytes.data() + at + RECORD_HEAD, length, crc);
    if (crc != expected || U32At(bytes, at + 4) != sequence)
        return Check::Bad;
    if (record != nullptr && !DecodePayload(bytes.substr(at + RECORD_HEAD, length), record))
        return Check::Bad;
    *size = RECORD_HEAD + length;
    return Check::Good;
}

// A whole record of any later sequence anywhere after `from`: then what
// stopped the reading was damage, not the end of the last write.
bool AnyRecordAfter(const std::string& bytes, size_t from, uint32_t sequence)
{
    for (size_t at = bytes.find(RECORD_MAGIC, from, 4); at != std::string::npos;
         at = bytes.find(RECORD_MAGIC, at + 1, 4)) {
        if (bytes.size() - at < RECORD_HEAD)
            return false;
        const uint32_t found = U32At(bytes, at + 4);
        size_t size = 0;
        if (found > sequence && CheckRecord(bytes, at, found, nullptr, &size) == Check::Good)
            return true;
    }
    return false;
}

}  // namespace

uint32_t Crc32(const void* data, size_t size, uint32_t crc)
{
    static const std::array<uint32_t, 256> table = MakeCrcTable();
    const auto* bytes = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string EncodeRecord(uint32_t sequence, const JournalRecord& record)
{
    std::string payload;
    PutU16(&payload, static_cast<uint16_t>(record.kind));
    PutU16(&payload, static_cast<uint16_t>(record.fields.size()));
    for (const std::string& field : record.fields) {
        PutU32(&payload, static_cast<uint32_t>(field.size()));
        payload += field;
    }
    std::string head(RECORD_MAGIC, 4);
    PutU32(&head, sequence);
    PutU32(&head, static_cast<uint32_t>(payload.size()));
    uint32_t crc = Crc32(head.data() + 4, 8);
    crc = Crc32(payload.data(), payload.size(), crc);
    PutU32(&head, crc);
    return head + payload;
}

JournalReadResult ReadJournalRecords(const std::string& bytes)
{
    JournalReadResult result;
    size_t at = 0;
    uint32_t sequence = 0;
    while (at < bytes.size()) {
        JournalRecord record;
        size_t size = 0;
        const Check check = CheckRecord(bytes, at, sequence, &record, &size);
        if (check != Check::Good) {
            // Only the last write can have been cut short; a record after the
            // bad one means the file was damaged where it had been whole.
            result.status = AnyRecordAfter(bytes, at, sequence) || (check == Check::Bad && sequence == 0)
                                ? JournalReadResult::Damaged
                                : JournalReadResult::TornTail;
            break;
        }
        result.records.push_back(std::move(record));
        result.offsets.push_back(at);
        at += size;
        ++sequence;
        result.validLength = at;
    }
    return result;
}

JournalRuns ReadJournalRuns(const JournalReadResult& read)
{
    JournalRuns runs;
    if (read.records.empty() || read.records[0].kind != RecordKind::Header || read.records[0].fields.size() < 2)
        return runs;
    int32_t version = 0;
    if (!DecodeInt(read.records[0].fields[0], &version) || version < 1)
        return runs;
    runs.headerValid = true;
    runs.productKey = read.records[0].fields[1];

    bool open = false;
    size_t start = 0;
    int32_t kind = 0;
    std::vector<JournalRecord> block;
    // Restores and deletions a rollback left; and, of a run that stands,
    // the files an uninstall could only delete at the restart.
    const auto restartWorkOf = [&runs](const std::vector<JournalRecord>& records, bool committed) {
        for (const JournalRecord& record : records) {
            int32_t blocking = 0;
            std::vector<RenamePair> pairs;
            const bool work = record.kind == RecordKind::RestartWork && record.fields.size() >= 2 &&
                              DecodeInt(record.fields[1], &blocking) && blocking != 0;
            const bool removal = committed && record.kind == RecordKind::RemovalScheduled && !record.fields.empty();
            if ((work || removal) && DecodePairs(record.fields[0], &pairs))
                runs.pendingRestartWork.insert(runs.pendingRestartWork.end(), pairs.begin(), pairs.end());
        }
    };
    for (size_t i = 1; i < read.records.size(); ++i) {
        const JournalRecord& record = read.records[i];
        if (record.kind == RecordKind::LogLevelRaised) {
            runs.logLevelRaised = true;
            runs.logLevel = record;
        } else if (record.kind == RecordKind::LogLevelRestored) {
            runs.logLevelRaised = false;
        }
        if (record.kind == RecordKind::RunBegun) {
            // A run that began while another was open can only follow a kill
            // of that one's recovery; the open one is still what to undo.
            if (open) {
                block.push_back(record);
                continue;
            }
            open = true;
            runs.lastCommitted.clear();
            start = read.offsets[i];
            kind = 0;
            if (!record.fields.empty())
                DecodeInt(record.fields[0], &kind);
            block.clear();
            continue;
        }
        if (!open)
            continue;  // nothing belongs outside a run
        if (record.kind == RecordKind::Committed) {
            restartWorkOf(block, true);
            if (kind == RUN_UNINSTALL) {
                // Nothing of the installation is left to describe.
                runs.committed.clear();
                runs.uninstalled = true;
            } else {
                runs.committed.insert(runs.committed.end(), block.begin(), block.end());
                runs.committed.push_back(record);
                runs.uninstalled = false;
            }
            runs.lastCommitted = block;
            runs.lastCommittedKind = kind;
            open = false;
        } else if (record.kind == RecordKind::RolledBack) {
            restartWorkOf(block, false);
            runs.rolledBackRun = true;
            runs.rolledBackOffset = start;
            open = false;
        } else {
            block.push_back(record);
        }
    }
    if (open) {
        runs.unfinished = true;
        runs.unfinishedKind = kind;
        runs.unfinishedRecords = std::move(block);
        runs.unfinishedOffset = start;
    }
    return runs;
}
