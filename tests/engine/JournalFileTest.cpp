// The journal's owner check: a journal folder or file that the security calls
// report as owned by someone other than SYSTEM, the administrators or the
// account of the run is never read and never deleted, but moved aside whole
// under a new name. Wine keeps no owner of its own (everything reads as the
// current user), so the owner is made up by a swapped GetNamedSecurityInfoA.
#include "engine/JournalFile.h"
#include "engine/PlatformCalls.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <memory>

using namespace testsupport;

namespace {

const char* const PRODUCT_KEY = "{JOURNAL-TEST-PRODUCT}";
const char* const LOCK_NAME = "Local\\VelloranJournalFileTest";
const char* const TRUSTED_DACL = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Whose the swapped call says `g_faked` is (an SDDL SID); other paths read as they are.
std::string g_faked;
std::string g_owner;

DWORD WINAPI OwnerMadeUp(LPCSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID* owner,
                         PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    if (lstrcmpiA(name, g_faked.c_str()) != 0)
        return RealEngineCalls().GetNamedSecurityInfoA(name, type, information, owner, group, dacl, sacl,
                                                        descriptor);
    // Only the owner is wrong: the access list is the one the setup makes.
    const std::string sddl = "O:" + g_owner + TRUSTED_DACL;
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &made, nullptr))
        return GetLastError();
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (owner != nullptr)
        GetSecurityDescriptorOwner(made, owner, &defaulted);
    if (dacl != nullptr)
        GetSecurityDescriptorDacl(made, &present, dacl, &defaulted);
    if (group != nullptr)
        *group = nullptr;
    if (sacl != nullptr)
        *sacl = nullptr;
    *descriptor = made;
    return ERROR_SUCCESS;
}

class JournalOwner : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = MakeTempDir("journal");
        folder = base + "\\Product Setup";
        path = folder + "\\install.journal";
        {
            // A journal as a run leaves it: the header and one change.
            CJournalFile journal(folder, PRODUCT_KEY);
            ASSERT_EQ(journal.Open(LOCK_NAME), CJournalFile::OpenStatus::Ready);
            DWORD error = 0;
            ASSERT_TRUE(journal.Append(JournalRecord::MakeEntry("C:\\Program Files\\Product\\a.exe", JOURNAL_FILE),
                                       &error))
                << error;
        }
        bytes = ReadFileBytes(path);
        ASSERT_FALSE(bytes.empty());
    }
    void TearDown() override
    {
        ResetEngineCalls();
        RemoveTree(base);
    }

    // Opens the journal while the swapped call reports `owner` for `faked`.
    std::unique_ptr<CJournalFile> OpenOwnedBy(const std::string& faked, const std::string& owner,
                                              CJournalFile::OpenStatus* status)
    {
        g_faked = faked;
        g_owner = owner;
        EngineCalls().GetNamedSecurityInfoA = &OwnerMadeUp;
        auto journal = std::make_unique<CJournalFile>(folder, PRODUCT_KEY);
        *status = journal->Open(LOCK_NAME);
        ResetEngineCalls();
        return journal;
    }

    std::string base, folder, path, bytes;
};

}  // namespace

TEST_F(JournalOwner, SystemTheAdministratorsAndTheRunsOwnAccountAreTrusted)
{
    const std::string self = ProcessUserSid();
    ASSERT_FALSE(self.empty());
    for (const std::string& owner : {std::string("SY"), std::string("BA"), self}) {
        SCOPED_TRACE(owner);
        for (const std::string& faked : {folder, path}) {
            CJournalFile::OpenStatus status{};
            const auto journal = OpenOwnedBy(faked, owner, &status);
            EXPECT_EQ(status, CJournalFile::OpenStatus::Ready) << faked << ": " << journal->Reason();
            EXPECT_TRUE(journal->Runs().headerValid);
            EXPECT_EQ(journal->Length(), bytes.size());
        }
    }
    EXPECT_EQ(ListFolder(base), std::vector<std::string>{"Product Setup"});
    EXPECT_EQ(ReadFileBytes(path), bytes);
}

TEST_F(JournalOwner, AnotherOwnerOfTheFolderOrTheFileSetsItAsideUntouched)
{
    // The Users group, and an account of another machine's domain.
    for (const std::string owner : {"BU", "S-1-5-21-1004336348-1177238915-682003330-1001"}) {
        for (const bool ofFolder : {true, false}) {
            SCOPED_TRACE(owner + (ofFolder ? " owns the folder" : " owns the file"));
            const std::string faked = ofFolder ? folder : path;
            CJournalFile::OpenStatus status{};
            const auto journal = OpenOwnedBy(faked, owner, &status);
            ASSERT_EQ(status, CJournalFile::OpenStatus::SetAside);
            EXPECT_EQ(journal->Reason(), "it is owned by someone else");
            EXPECT_FALSE(journal->Exists());
            EXPECT_TRUE(journal->Runs().committed.empty());
            EXPECT_FALSE(journal->Runs().headerValid) << "the records of an untrusted file were read";

            // Renamed beside itself, never deleted, its bytes as they were.
            const std::string aside = journal->SetAsidePath();
            ASSERT_EQ(aside.rfind(faked + ".untrusted-", 0), 0u) << aside;
            const std::string suffix = aside.substr(faked.size() + 11);
            EXPECT_FALSE(suffix.empty());
            EXPECT_EQ(suffix.find_first_not_of("0123456789"), std::string::npos) << aside;
            if (ofFolder) {
                EXPECT_FALSE(DirectoryExists(folder));
                EXPECT_EQ(ListFolder(aside), std::vector<std::string>{"install.journal"});
                EXPECT_EQ(ReadFileBytes(aside + "\\install.journal"), bytes);
                EXPECT_EQ(ListFolder(base).size(), 1u);
            } else {
                EXPECT_FALSE(FileExists(path));
                EXPECT_EQ(ReadFileBytes(aside), bytes);
                EXPECT_EQ(ListFolder(folder).size(), 1u);
            }

            // The next test of the loop starts from a journal in place again.
            ASSERT_TRUE(MoveFileExA(aside.c_str(), faked.c_str(), 0));
        }
    }
}

TEST_F(JournalOwner, ARunThatCannotReadItsOwnAccountLeavesTheJournalWhereItIs)
{
    // Without the run's account no owner can be judged: a failure of the run,
    // never a verdict on the file, which is the installation's record.
    for (const bool token : {true, false}) {
        SCOPED_TRACE(token ? "OpenProcessToken fails" : "GetTokenInformation fails");
        if (token)
            EngineCalls().OpenProcessToken = [](HANDLE, DWORD, PHANDLE) -> BOOL {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            };
        else
            EngineCalls().GetTokenInformation = [](HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD,
                                                   PDWORD) -> BOOL {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            };
        CJournalFile journal(folder, PRODUCT_KEY);
        EXPECT_EQ(journal.Open(LOCK_NAME), CJournalFile::OpenStatus::Failed);
        EXPECT_EQ(journal.Error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        ResetEngineCalls();
        EXPECT_TRUE(journal.SetAsidePath().empty());
    }
    EXPECT_EQ(ListFolder(base), std::vector<std::string>{"Product Setup"});
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"install.journal"});
    EXPECT_EQ(ReadFileBytes(path), bytes);
}
