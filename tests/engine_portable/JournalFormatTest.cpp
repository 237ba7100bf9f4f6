// The journal's records as a kill or damage leaves them: a record cut short
// at the end is ignored, damage anywhere before it makes the file
// untrustworthy, and the runs read back say what is installed, what is
// unfinished and what waits for the restart.
#include "engine/JournalFormat.h"

#include <gtest/gtest.h>

namespace {

const char* const PRODUCT = "{FB9376AC-5253-42a5-AC0A-D306F32FFAD2}";

std::string Journal(const std::vector<JournalRecord>& records)
{
    std::string bytes;
    uint32_t sequence = 0;
    for (const JournalRecord& record : records)
        bytes += EncodeRecord(sequence++, record);
    return bytes;
}

JournalRecord File(const std::string& path)
{
    return JournalRecord::MakeEntry(path, JOURNAL_FILE);
}

const RenamePair RESTORE{u"\\??\\C:\\x.backup", u"!\\??\\C:\\x"};

}  // namespace

TEST(JournalRecords, ACutShortLastRecordIsIgnoredAndDamageBeforeItIsNot)
{
    const std::vector<JournalRecord> records = {JournalRecord::MakeHeader(PRODUCT),
                                                JournalRecord::MakeRunBegun(RUN_INSTALL), File("C:\\a"),
                                                File("C:\\b")};
    const std::string whole = Journal(records);
    JournalReadResult read = ReadJournalRecords(whole);
    EXPECT_EQ(read.status, JournalReadResult::Whole);
    ASSERT_EQ(read.records.size(), 4u);
    EXPECT_EQ(read.records[3].fields[0], "C:\\b");
    EXPECT_EQ(read.validLength, whole.size());

    // A kill at every byte of the last write: the records before it stand.
    const size_t lastStart = read.offsets[3];
    for (size_t cut = lastStart + 1; cut < whole.size(); ++cut) {
        read = ReadJournalRecords(whole.substr(0, cut));
        EXPECT_EQ(read.status, JournalReadResult::TornTail) << cut;
        EXPECT_EQ(read.records.size(), 3u) << cut;
        EXPECT_EQ(read.validLength, lastStart) << cut;
    }
    // Zeros where the last record should be (a power loss after the file grew).
    read = ReadJournalRecords(whole.substr(0, lastStart) + std::string(40, '\0'));
    EXPECT_EQ(read.status, JournalReadResult::TornTail);

    // One byte changed in a middle record: the records after it prove damage.
    for (size_t at = read.offsets.size() > 1 ? read.offsets[1] : 0; at < lastStart; ++at) {
        std::string damaged = whole;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
        EXPECT_EQ(ReadJournalRecords(damaged).status, JournalReadResult::Damaged) << at;
    }
    // A record out of its place in the sequence is damage too.
    const std::string swapped = whole.substr(0, read.offsets[2]) + EncodeRecord(3, File("C:\\b")) +
                                EncodeRecord(2, File("C:\\a"));
    EXPECT_EQ(ReadJournalRecords(swapped).status, JournalReadResult::Damaged);
    // Someone else's file.
    EXPECT_EQ(ReadJournalRecords("[InternetShortcut]\r\nURL=x").status, JournalReadResult::Damaged);
}

TEST(JournalRuns, CommittedUnfinishedRolledBackAndUninstalledRuns)
{
    const std::vector<JournalRecord> installed = {
        JournalRecord::MakeHeader(PRODUCT),     JournalRecord::MakeRunBegun(RUN_INSTALL),
        File("C:\\a"),                          JournalRecord::MakeBackup("C:\\old", "C:\\old.backup"),
        JournalRecord::MakeCommitted(),         JournalRecord::MakeRunBegun(RUN_INSTALL),
        File("C:\\b"),                          JournalRecord::MakeCommitted(),
    };
    JournalRuns runs = ReadJournalRuns(ReadJournalRecords(Journal(installed)));
    EXPECT_TRUE(runs.headerValid);
    EXPECT_EQ(runs.productKey, PRODUCT);
    EXPECT_FALSE(runs.unfinished);
    EXPECT_EQ(runs.committed.size(), 5u);  // both runs' changes and their commits
    EXPECT_TRUE(runs.pendingRestartWork.empty());
    // Only the last run's clean-up may still be due; the first run's backup
    // name is nobody's once a later run has begun.
    EXPECT_EQ(runs.lastCommitted.size(), 1u);
    EXPECT_EQ(runs.lastCommittedKind, RUN_INSTALL);

    // Killed in the middle of an upgrade: its records, and where they start.
    std::vector<JournalRecord> killed = installed;
    killed.push_back(JournalRecord::MakeRunBegun(RUN_INSTALL));
    killed.push_back(File("C:\\c"));
    const JournalReadResult read = ReadJournalRecords(Journal(killed));
    runs = ReadJournalRuns(read);
    ASSERT_TRUE(runs.unfinished);
    EXPECT_EQ(runs.unfinishedKind, RUN_INSTALL);
    ASSERT_EQ(runs.unfinishedRecords.size(), 1u);
    EXPECT_EQ(runs.unfinishedOffset, read.offsets[8]);
    EXPECT_EQ(runs.committed.size(), 5u);
    EXPECT_TRUE(runs.lastCommitted.empty());

    // A rollback that left a restore for the restart keeps later runs waiting.
    std::vector<JournalRecord> waiting = installed;
    waiting.push_back(JournalRecord::MakeRunBegun(RUN_INSTALL));
    waiting.push_back(JournalRecord::MakeRestartWork({RESTORE}, true));
    waiting.push_back(JournalRecord::MakeRestartWork({{u"\\??\\C:\\y.backup", u""}}, false));
    waiting.push_back(JournalRecord::MakeRolledBack());
    runs = ReadJournalRuns(ReadJournalRecords(Journal(waiting)));
    EXPECT_TRUE(runs.rolledBackRun);
    EXPECT_EQ(runs.pendingRestartWork, std::vector<RenamePair>{RESTORE});
    EXPECT_FALSE(runs.unfinished);

    // An uninstall that was committed leaves nothing installed; the files
    // it could only delete at the restart are waited for.
    std::vector<JournalRecord> removed = installed;
    removed.push_back(JournalRecord::MakeRunBegun(RUN_UNINSTALL));
    removed.push_back(JournalRecord::MakeRemoval({{u"\\??\\C:\\a", u""}}));
    removed.push_back(JournalRecord::MakeCommitted());
    runs = ReadJournalRuns(ReadJournalRecords(Journal(removed)));
    EXPECT_TRUE(runs.uninstalled);
    EXPECT_TRUE(runs.committed.empty());
    EXPECT_EQ(runs.pendingRestartWork.size(), 1u);

    // A logging level raised and never put back, even by a run that committed.
    std::vector<JournalRecord> raised = installed;
    raised.insert(raised.begin() + 2, JournalRecord::MakeLogLevelRaised(4, std::string("\x20\0\0\0", 4)));
    runs = ReadJournalRuns(ReadJournalRecords(Journal(raised)));
    EXPECT_TRUE(runs.logLevelRaised);
    raised.push_back(JournalRecord::MakeLogLevelRestored());
    EXPECT_FALSE(ReadJournalRuns(ReadJournalRecords(Journal(raised))).logLevelRaised);
}

TEST(JournalRecords, FieldsOfOtherProgramsKeepTheirBytes)
{
    SavedRegistryValue odd;
    odd.name = u"\u65e5\u672c";
    odd.data = std::string("a\0b", 3);  // a string value without its terminator
    odd.type = 7;
    FirewallChange change;
    change.kind = FirewallChange::RULE_CHANGED;
    change.name = u"\u0391 rule";
    change.path = u"C:\\x.exe";
    change.direction = 2;
    change.previousEnabled = 1;
    const std::vector<JournalRecord> records = {
        JournalRecord::MakeHeader(PRODUCT), JournalRecord::MakeKeySaved("System\\x", {odd}),
        JournalRecord::MakeFirewall(change)};
    const JournalReadResult read = ReadJournalRecords(Journal(records));
    ASSERT_EQ(read.records.size(), 3u);
    std::vector<SavedRegistryValue> values;
    ASSERT_TRUE(DecodeValues(read.records[1].fields[1], &values));
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, odd.name);
    EXPECT_EQ(values[0].data, odd.data);
    EXPECT_EQ(values[0].type, 7u);
    FirewallChange back;
    ASSERT_TRUE(DecodeFirewall(read.records[2].fields[0], &back));
    EXPECT_EQ(back.name, change.name);
    EXPECT_EQ(back.previousEnabled, 1);
}
