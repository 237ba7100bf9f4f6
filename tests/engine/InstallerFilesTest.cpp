// Files and directories put on the machine by the engine, and what its
// rollback and commit leave behind: bytes on disk, names beside the target,
// pending renames, restart flag and setup-log lines.
#include "engine/Installer.h"
#include "engine/JournalFile.h"
#include "engine/PlatformCalls.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace testsupport;

namespace {

const char* const REBOOT_LINE = "Warning: === Reboot required to complete operation ===";

// "<base>_" + eight digits 1..9 + suffix: the temporary and backup names.
bool IsTempName(const std::string& name, const std::string& base, const std::string& suffix)
{
    const std::string head = base + "_";
    if (name.size() != head.size() + 8 + suffix.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    return std::all_of(name.begin() + head.size(), name.begin() + head.size() + 8,
                       [](char c) { return c >= '1' && c <= '9'; });
}

// The one folder entry that is not `except`, or "" when there is not exactly one.
std::string OtherEntry(const std::string& folder, const std::string& except)
{
    std::vector<std::string> names = ListFolder(folder);
    names.erase(std::remove(names.begin(), names.end(), except), names.end());
    return names.size() == 1 ? names[0] : std::string();
}

std::string Pending(const std::string& path)
{
    return "\\??\\" + path;
}

BOOL WINAPI WriteHalfDiskFull(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED)
{
    ::WriteFile(file, data, size / 2, written, nullptr);
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// The restart's rename list cannot be written.
LSTATUS WINAPI RefuseRenameList(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    if (name != nullptr && lstrcmpiW(name, L"PendingFileRenameOperations") == 0)
        return ERROR_ACCESS_DENIED;
    return ::RegSetValueExW(key, name, reserved, type, data, size);
}

// The journal's write after a backup copy fails once, as a full disk would.
bool g_copied = false;

BOOL WINAPI CopyThenFailTheRecord(LPCSTR from, LPCSTR to, BOOL failIfExists)
{
    g_copied = ::CopyFileA(from, to, failIfExists) != FALSE;
    return g_copied;
}

BOOL WINAPI FailWriteAfterCopy(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (g_copied) {
        g_copied = false;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return ::WriteFile(file, data, size, written, overlapped);
}

class EngineFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearPendingRenames();
        dir = MakeTempDir("files");
        engine = std::make_unique<CInstaller>(log.handle.get(), 0);
    }
    void TearDown() override
    {
        ResetEngineCalls();
        engine.reset();
        RemoveTree(dir);
    }

    void Install(const std::string& name, const std::string& bytes)
    {
        engine->InstallFile(name, dir, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    std::vector<std::string> Lines()
    {
        FlushFileBuffers(log.handle.get());
        return log.Lines();
    }
    std::string At(const std::string& name) const { return dir + "\\" + name; }

    TestLogFile log{"files.log"};
    std::string dir;
    std::unique_ptr<CInstaller> engine;
};

}  // namespace

TEST_F(EngineFiles, NewFilesAreWrittenAndTheRollbackRemovesThemInByteOrder)
{
    const std::string binary("MZ\0\x01\xff\r\n", 7);
    // Keys compare as unsigned bytes, case-sensitive: "C" < "a" < "b" < "\xe9".
    const std::string accented = "\xe9t\xe9.txt";
    Install(accented, "e");
    Install("b.txt", binary);
    Install("a.txt", "a");
    Install("C.txt", "");
    EXPECT_EQ(ReadFileBytes(At("b.txt")), binary);
    EXPECT_TRUE(FileExists(At("C.txt")));
    EXPECT_EQ(ListFolder(dir).size(), 4u) << "no backup for a new file";

    engine->RemoveInstallFiles();
    EXPECT_TRUE(ListFolder(dir).empty());
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "Install File: " + At(accented), "Install File: " + At("b.txt"),
                           "Install File: " + At("a.txt"), "Install File: " + At("C.txt"),
                           "RemoveInstallFiles: " + At("C.txt"), "RemoveInstallFiles: " + At("a.txt"),
                           "RemoveInstallFiles: " + At("b.txt"), "RemoveInstallFiles: " + At(accented)}));
    EXPECT_EQ(engine->RestartRequired(), 0);
    EXPECT_TRUE(PendingRenames().empty());
}

TEST_F(EngineFiles, OverwrittenFileKeepsABackupBesideItUntilTheCommit)
{
    WriteFileBytes(At("readme.txt"), "old readme");
    Install("readme.txt", "new readme");
    EXPECT_EQ(ReadFileBytes(At("readme.txt")), "new readme");
    const std::string backup = OtherEntry(dir, "readme.txt");
    EXPECT_TRUE(IsTempName(backup, "readme.txt", ".tmp.backup")) << backup;
    EXPECT_EQ(ReadFileBytes(At(backup)), "old readme");

    // After the commit the overwrite is final; a file made by the run still goes.
    Install("new.txt", "new");
    engine->CommitInstall();
    EXPECT_FALSE(FileExists(At(backup)));
    engine->RemoveInstallFiles();
    engine->RollBackInstallFiles();
    EXPECT_EQ(ListFolder(dir), std::vector<std::string>{"readme.txt"});
    EXPECT_EQ(ReadFileBytes(At("readme.txt")), "new readme");
}

TEST_F(EngineFiles, RollbackPutsTheOldBytesBackAndTruncationToEmptyIsUndoneToo)
{
    const std::string old("\x00\x01old\r\n\xfe", 8);
    WriteFileBytes(At("license.txt"), old);
    WriteFileBytes(At("empty-me.txt"), "content");
    Install("license.txt", "new license");
    Install("empty-me.txt", "");
    EXPECT_EQ(ReadFileBytes(At("empty-me.txt")), "");

    // Installed twice in one run: the first backup, the state before the
    // run, is what comes back; a file the run made goes for good.
    Install("license.txt", "newer license");
    Install("made.txt", "made");
    Install("made.txt", "made again");

    engine->RemoveInstallFiles();
    engine->RollBackInstallFiles();
    EXPECT_EQ(ReadFileBytes(At("license.txt")), old);
    EXPECT_EQ(ReadFileBytes(At("empty-me.txt")), "content");
    EXPECT_EQ(ListFolder(dir).size(), 2u) << "backups moved back, none left";
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"RollBackInstallFiles: " + At("empty-me.txt"),
                                        "RollBackInstallFiles: " + At("license.txt")}));
    EXPECT_EQ(engine->RestartRequired(), 0);
}

TEST_F(EngineFiles, FileInUseIsReplacedAtTheRestartAndItsRollbackCallsThatOff)
{
    const std::string target = At("velloransrv.exe");
    WriteFileBytes(target, "running program");
    WriteFileBytes(At("other.txt"), "other");
    ClearPendingRenames();
    // Another program's pending rename stays whatever the rollback does.
    MoveFileExA(At("other.txt").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    FileHolder holder(target, FILE_SHARE_READ);
    ASSERT_TRUE(holder.holding());

    Install("velloransrv.exe", "new program");
    EXPECT_EQ(ReadFileBytes(target), "running program");
    EXPECT_EQ(engine->RestartRequired(), 1);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"Install File: " + target, REBOOT_LINE}));
    std::string backup, temp;
    for (const std::string& name : ListFolder(dir)) {
        if (IsTempName(name, "velloransrv.exe", ".tmp.backup"))
            backup = At(name);
        else if (IsTempName(name, "velloransrv.exe", ".tmp"))
            temp = At(name);
    }
    ASSERT_FALSE(backup.empty());
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(ReadFileBytes(backup), "running program");
    EXPECT_EQ(ReadFileBytes(temp), "new program");
    using Renames = std::vector<std::pair<std::string, std::string>>;
    const Renames others{{Pending(At("other.txt")), ""}};
    EXPECT_EQ(PendingRenames(), (Renames{others[0], {Pending(temp), "!" + Pending(target)}}));

    // A second install of the same target keeps the first backup.
    Install("velloransrv.exe", "newer program");
    EXPECT_EQ(ListFolder(dir).size(), 5u);

    // The target never changed: the rollback calls the replacements off and
    // needs no restart at all.
    engine->PrepareRollback();
    engine->RemoveInstallFiles();
    engine->RollBackInstallFiles();
    engine.reset();
    EXPECT_EQ(ListFolder(dir), (std::vector<std::string>{"other.txt", "velloransrv.exe"}));
    EXPECT_EQ(ReadFileBytes(target), "running program");
    EXPECT_EQ(PendingRenames(), others);
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(REBOOT_LINE)), 2) << "only the two installs'";
    EXPECT_EQ(lines.back(), "RollBackInstallFiles: " + target);
}

TEST_F(EngineFiles, ReplacedFileLockedAtTheRollbackIsRestoredAtTheRestart)
{
    const std::string target = At("velloran.exe");
    WriteFileBytes(target, "old program");
    Install("velloran.exe", "new program");
    const std::string backup = At(OtherEntry(dir, "velloran.exe"));
    // Started after the install: now the old bytes can only come back at the restart.
    FileHolder holder(target, FILE_SHARE_READ);
    ASSERT_TRUE(holder.holding());

    engine->PrepareRollback();
    engine->RemoveInstallFiles();
    engine->RollBackInstallFiles();
    engine.reset();
    EXPECT_EQ(ReadFileBytes(backup), "old program");
    using Renames = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(PendingRenames(), (Renames{{Pending(backup), "!" + Pending(target)}}));
    EXPECT_EQ(Lines().back(), REBOOT_LINE);
}

TEST_F(EngineFiles, TargetLockedEvenForReadingFailsAtTheBackupCopy)
{
    // Held without any sharing: not even the copy can read it.
    WriteFileBytes(At("locked.sys"), "locked");
    {
        FileHolder holder(At("locked.sys"), 0);
        ASSERT_TRUE(holder.holding());
        const Thrown thrown = CatchEx([&] { Install("locked.sys", "new"); });
        EXPECT_TRUE(thrown.thrown);
        EXPECT_EQ(thrown.module, MODULE_INSTALLER);
        EXPECT_EQ(thrown.location, 420);
        EXPECT_EQ(thrown.code, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
    }
    EXPECT_EQ(ListFolder(dir), std::vector<std::string>{"locked.sys"});
    EXPECT_EQ(ReadFileBytes(At("locked.sys")), "locked");
}

TEST_F(EngineFiles, ShortWritesAndAnUnschedulableReplacementFailAtTheirSites)
{
    EngineCalls().WriteFile = &WriteHalfDiskFull;
    const Thrown toTarget = CatchEx([&] { Install("new.bin", "0123456789"); });
    EXPECT_EQ(toTarget.location, 673);
    EXPECT_EQ(toTarget.code, static_cast<uint32_t>(ERROR_DISK_FULL));
    EXPECT_EQ(ReadFileBytes(At("new.bin")), "01234");

    // In use: the replacement is scheduled and the restart required before
    // the short write is reported.
    WriteFileBytes(At("busy.bin"), "busy");
    FileHolder holder(At("busy.bin"), FILE_SHARE_READ);
    ASSERT_TRUE(holder.holding());
    const Thrown toTemp = CatchEx([&] { Install("busy.bin", "0123456789"); });
    EXPECT_EQ(toTemp.location, 647);
    EXPECT_EQ(toTemp.code, static_cast<uint32_t>(ERROR_DISK_FULL));
    EXPECT_EQ(engine->RestartRequired(), 1);
    EXPECT_EQ(PendingRenames().size(), 1u);

    // A refused schedule is reported over the short write.
    WriteFileBytes(At("busy2.bin"), "busy2");
    FileHolder holder2(At("busy2.bin"), FILE_SHARE_READ);
    ASSERT_TRUE(holder2.holding());
    EngineCalls().RegSetValueExW = &RefuseRenameList;
    const Thrown unscheduled = CatchEx([&] { Install("busy2.bin", "0123456789"); });
    EXPECT_EQ(unscheduled.location, 656);
    EXPECT_EQ(unscheduled.code, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    ResetEngineCalls();

    // Everything journaled before the throws is undone: the half-written new
    // file and both temporary files go, the backups come back.
    holder.Release();
    holder2.Release();
    engine->RemoveInstallFiles();
    engine->RollBackInstallFiles();
    EXPECT_EQ(ListFolder(dir), (std::vector<std::string>{"busy.bin", "busy2.bin"}));
    EXPECT_EQ(ReadFileBytes(At("busy.bin")), "busy");
    EXPECT_EQ(ReadFileBytes(At("busy2.bin")), "busy2");
}

TEST_F(EngineFiles, FileThatCannotBeDeletedInTheRollbackIsDeletedAtTheRestart)
{
    Install("held.txt", "new");
    FileHolder holder(At("held.txt"), 0);
    ASSERT_TRUE(holder.holding());
    engine->RemoveInstallFiles();
    EXPECT_TRUE(FileExists(At("held.txt")));
    using Renames = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(PendingRenames(), (Renames{{Pending(At("held.txt")), ""}}));
    EXPECT_EQ(engine->RestartRequired(), 1);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"Install File: " + At("held.txt"),
                                                 "RemoveInstallFiles: " + At("held.txt"), REBOOT_LINE}));
}

TEST_F(EngineFiles, DirectoriesMadeByTheRunGoAndOnesThatWereThereStay)
{
    const std::string outer = At("Velloran");
    const std::string inner = outer + "\\Drivers";
    const std::string existing = At("Existing");
    CreateDirectoryA(existing.c_str(), nullptr);
    WriteFileBytes(existing + "\\user.dat", "user data");

    engine->CreateInstallDirectory(outer);
    engine->CreateInstallDirectory(inner);
    engine->CreateInstallDirectory(existing);
    EXPECT_TRUE(DirectoryExists(inner));
    EXPECT_EQ(Lines(), (std::vector<std::string>{"CreateDirectory: " + outer, "CreateDirectory: " + inner,
                                                 "CreateDirectory: " + existing}));

    engine->RemoveInstallDirectories();
    EXPECT_FALSE(DirectoryExists(outer)) << "the outer folder goes once the inner one is gone";
    EXPECT_EQ(ReadFileBytes(existing + "\\user.dat"), "user data");
    EXPECT_EQ(Lines().size(), 3u) << "removing folders writes no lines";
}

TEST_F(EngineFiles, DirectoryOrFileThePlatformRefusesFailsAtItsSite)
{
    const Thrown noParent = CatchEx([&] { engine->CreateInstallDirectory(At("missing\\child")); });
    EXPECT_EQ(noParent.module, MODULE_INSTALLER);
    EXPECT_EQ(noParent.location, 720);
    EXPECT_EQ(noParent.code, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));

    // As long as the user typed it: no buffer limits the engine, the platform refuses.
    const std::string longFolder = At(std::string(300, 'v'));
    EXPECT_EQ(CatchEx([&] { engine->CreateInstallDirectory(longFolder); }).location, 720);
    EXPECT_EQ(CatchEx([&] { engine->InstallFile("x.txt", longFolder, "x", 1); }).location, 615);
    EXPECT_EQ(Lines().back(), "Install File: " + longFolder + "\\x.txt");

    // The client build numbers these sites one higher.
    CInstaller client(INVALID_HANDLE_VALUE, 0, EngineSiteShift{-1, +1});
    EXPECT_EQ(CatchEx([&] { client.CreateInstallDirectory(At("missing\\child")); }).location, 721);
    EXPECT_EQ(CatchEx([&] { client.InstallFile("x.txt", longFolder, "x", 1); }).location, 616);
}

namespace {

std::u16string Utf16(const std::string& ansi)
{
    std::wstring wide(ansi.size(), L'\0');
    const int length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0],
                                           static_cast<int>(wide.size()));
    return std::u16string(wide.begin(), wide.begin() + length);
}

std::string RenamePairBytes(const std::u16string& source, const std::u16string& destination)
{
    return RenameString(source) + RenameString(destination);
}

std::string RawRenames(DWORD* type = nullptr)
{
    std::string bytes;
    DWORD stored = 0;
    if (!ReadPendingRenamesRaw(&bytes, &stored))
        return "<no value>";
    if (type)
        *type = stored;
    return bytes;
}

// Another program's entries: a replacement in a Japanese folder, a delete in
// a Greek one.
const std::string JAPANESE = RenamePairBytes(u"\\??\\C:\\日本\\更新.dll", u"!\\??\\C:\\日本\\設定.dll");
const std::string GREEK = RenamePairBytes(u"\\??\\C:\\Ελληνικά\\αρχείο.tmp", u"");
const std::string LIST_END(2, '\0');

}  // namespace

TEST_F(EngineFiles, OtherProgramsRenameEntriesStayByteForByte)
{
    // The list as another program left it; where the restart, reading pairs
    // from the first byte, finds this run's pair; whether a list end must
    // follow it.
    struct Case {
        const char* what;
        std::string before;
        size_t ours;
        bool listEnd;
    };
    const std::string lone = RenameString(u"\\??\\C:\\Ελληνικά\\μόνο.txt");
    // Its last string without the zero unit that would end it.
    std::string cut = RenameString(u"\\??\\C:\\日本\\途中");
    cut.resize(cut.size() - 2);
    const Case cases[] = {
        {"two entries with non-ASCII paths", JAPANESE + GREEK + LIST_END, JAPANESE.size() + GREEK.size(), false},
        {"a lone string without its partner", JAPANESE + lone, JAPANESE.size(), false},
        {"no list end", JAPANESE + GREEK, JAPANESE.size() + GREEK.size(), true},
        {"an unterminated last string", JAPANESE + cut, JAPANESE.size(), false},
        {"an empty value", std::string(), 0, true},
    };
    int run = 0;
    for (const Case& test : cases) {
        for (const bool commit : {false, true}) {
            SCOPED_TRACE(std::string(test.what) + (commit ? ", committed" : ", rolled back"));
            ASSERT_TRUE(WritePendingRenamesRaw(test.before));
            engine = std::make_unique<CInstaller>(log.handle.get(), 0);
            const std::string name = "inuse" + std::to_string(++run) + ".exe";
            ASSERT_TRUE(WriteFileBytes(At(name), "running program"));
            FileHolder holder(At(name), FILE_SHARE_READ);
            ASSERT_TRUE(holder.holding());
            Install(name, "new program");
            std::string temp;
            for (const std::string& entry : ListFolder(dir)) {
                if (IsTempName(entry, name, ".tmp"))
                    temp = At(entry);
            }
            ASSERT_FALSE(temp.empty());

            const std::string ours = RenamePairBytes(u"\\??\\" + Utf16(temp), u"!\\??\\" + Utf16(At(name)));
            const std::string scheduled = test.before.substr(0, test.ours) + ours +
                                          (test.listEnd ? LIST_END : std::string()) + test.before.substr(test.ours);
            EXPECT_EQ(RawRenames(), scheduled);
            if (commit) {
                // The replacement stays for the restart, beside everything else.
                engine->CommitInstall();
                EXPECT_EQ(RawRenames(), scheduled);
            } else {
                engine->PrepareRollback();
                engine->RemoveInstallFiles();
                engine->RollBackInstallFiles();
                DWORD type = 0;
                EXPECT_EQ(RawRenames(&type), test.before);
                EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
                EXPECT_FALSE(FileExists(temp));
            }
            EXPECT_EQ(ReadFileBytes(At(name)), "running program");
            holder.Release();
            engine.reset();
        }
    }

    // Another program adds an entry between this run's and the rollback:
    // it stays, and this run's goes.
    ASSERT_TRUE(WritePendingRenamesRaw(JAPANESE + LIST_END));
    engine = std::make_unique<CInstaller>(log.handle.get(), 0);
    ASSERT_TRUE(WriteFileBytes(At("busy.exe"), "running program"));
    FileHolder holder(At("busy.exe"), FILE_SHARE_READ);
    ASSERT_TRUE(holder.holding());
    Install("busy.exe", "new program");
    const std::string withOurs = RawRenames();
    ASSERT_GT(withOurs.size(), JAPANESE.size() + LIST_END.size());
    const std::string ours = withOurs.substr(JAPANESE.size(), withOurs.size() - JAPANESE.size() - LIST_END.size());
    ASSERT_EQ(withOurs, JAPANESE + ours + LIST_END);
    ASSERT_TRUE(WritePendingRenamesRaw(JAPANESE + ours + GREEK + LIST_END));
    engine->PrepareRollback();
    engine->RemoveInstallFiles();
    engine->RollBackInstallFiles();
    EXPECT_EQ(RawRenames(), JAPANESE + GREEK + LIST_END);
    EXPECT_EQ(engine->RestartRequired(), 0);
}

// A backup the journal cannot record is no backup: the copy goes with the
// failure, so a run that passes over it (an optional link is only a warning)
// commits without a stray copy beside the target.
TEST_F(EngineFiles, ABackupTheJournalCannotRecordGoesWithTheFailure)
{
    const std::string journalDir = MakeTempDir("files-journal");
    auto journal = std::make_unique<CJournalFile>(journalDir + "\\Product Setup", "{FILES-TEST-PRODUCT}");
    ASSERT_EQ(journal->Open("Local\\VelloranFilesTest"), CJournalFile::OpenStatus::Ready);
    engine->AttachJournal(std::move(journal), RUN_INSTALL);
    WriteFileBytes(At("help.lnk"), "old link");

    EngineCalls().CopyFileA = &CopyThenFailTheRecord;
    EngineCalls().WriteFile = &FailWriteAfterCopy;
    const Thrown failed = CatchEx([&] { Install("help.lnk", "new link"); });
    EXPECT_EQ(failed.code, static_cast<uint32_t>(ERROR_DISK_FULL));
    ResetEngineCalls();
    EXPECT_EQ(ListFolder(dir), std::vector<std::string>{"help.lnk"});
    EXPECT_EQ(ReadFileBytes(At("help.lnk")), "old link");

    engine->CommitInstall();
    EXPECT_EQ(ListFolder(dir), std::vector<std::string>{"help.lnk"});
    engine.reset();
    RemoveTree(journalDir);
}
