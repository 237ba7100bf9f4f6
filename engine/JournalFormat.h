// The journal on disk: a header record, then the records of each run, each
// written and flushed before the change it describes. Every record carries
// the format's magic (with its version), a sequence number, its length and a
// checksum, so that a record cut short by a kill (only ever the last one) is
// told from damage anywhere else.
//
//   record:  "VJR1"  u32 sequence  u32 length  u32 CRC-32  payload
//   payload: u16 kind  u16 field count  { u32 length  bytes } per field
//
// All numbers little-endian; the CRC-32 (IEEE) covers sequence, length and
// payload. Sequence numbers start at 0 with the header and go up by one.
//
// Portable: no windows.h.
#pragma once

#include "engine/JournalRecord.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The header's and the runs' own record kinds, beside the change records.
enum : uint16_t {
    JOURNAL_FORMAT_VERSION = 1,
};

uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);

std::string EncodeRecord(uint32_t sequence, const JournalRecord& record);

struct JournalReadResult {
    enum Status {
        Whole,     // every byte belongs to a whole record
        TornTail,  // the last record was cut short (a kill while writing it): ignored
        Damaged,   // a record other than the last is damaged: the file cannot be trusted
    };
    Status status = Whole;
    std::vector<JournalRecord> records;
    std::vector<size_t> offsets;  // where each record starts
    size_t validLength = 0;       // the bytes the whole records take
};

// Reads records from the start; never reads past the bytes given.
JournalReadResult ReadJournalRecords(const std::string& bytes);

// What a journal's records say, read run by run.
struct JournalRuns {
    bool headerValid = false;      // the first record is a header of this format
    std::string productKey;        // the product the header names
    // Every record of the runs that were committed, in order: replayed, they
    // give what the installation holds.
    std::vector<JournalRecord> committed;
    // The records of a run that neither committed nor finished its rollback,
    // and where its first record starts.
    bool unfinished = false;
    int32_t unfinishedKind = 0;
    std::vector<JournalRecord> unfinishedRecords;
    size_t unfinishedOffset = 0;
    // Restores and deletions a rolled-back run (or an uninstall) left for the
    // restart, and where that run's records start.
    std::vector<RenamePair> pendingRestartWork;
    bool rolledBackRun = false;
    size_t rolledBackOffset = 0;
    // The last run that was committed took the product off again.
    bool uninstalled = false;
    // The records of the last run when it was committed and nothing began
    // after it: a process ended between the commit and its clean-up leaves
    // what the commit was to delete. Once a later run begins, that run's
    // opening has cleaned up, and the names may be in use again.
    std::vector<JournalRecord> lastCommitted;
    int32_t lastCommittedKind = 0;
    // A SetupAPI logging level a run raised and never put back.
    bool logLevelRaised = false;
    JournalRecord logLevel;
};

JournalRuns ReadJournalRuns(const JournalReadResult& read);
