#include "engine/JournalFile.h"

#include "engine/PlatformCalls.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <memory>

namespace {

const char* const JOURNAL_FILE_NAME = "install.journal";
// SYSTEM and the administrators only, nothing inherited from %ProgramData%
// (where ordinary users may create folders and files).
const char* const JOURNAL_FOLDER_ACCESS = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const char* const SET_ASIDE_SUFFIX = ".untrusted-";

// The rights that let someone change what the setup will act on.
constexpr ACCESS_MASK WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr DWORD TOKEN_USER_BUFFER = 256;
constexpr DWORD READ_CHUNK = 64 * 1024;

// SECURITY_DESCRIPTOR from SDDL, freed with LocalFree.
using CSecurityDescriptor = fw::CLocalMem;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    return IsWellKnownSid(sid, type) != FALSE;
}

// The user the process runs as: under Wine the owner of everything it makes.
bool ProcessUser(std::vector<BYTE>* buffer, DWORD* error)
{
    HANDLE raw = nullptr;
    if (!EngineCalls().OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        *error = GetLastError();
        return false;
    }
    fw::CKernelHandle token(raw);
    buffer->assign(TOKEN_USER_BUFFER, 0);
    DWORD size = 0;
    if (!EngineCalls().GetTokenInformation(token.get(), TokenUser, buffer->data(), TOKEN_USER_BUFFER, &size)) {
        *error = GetLastError();
        return false;
    }
    return true;
}

bool IsTrustedSid(PSID sid, PSID processUser)
{
    return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
           (processUser != nullptr && EqualSid(sid, processUser));
}

bool GoneError(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

bool TakeProductLock(const std::string& lockName, fw::CKernelHandle* lock)
{
    lock->reset(EngineCalls().CreateMutexA(nullptr, FALSE, lockName.c_str()));
    // A lock that cannot be had at all is no sign of another run: the
    // journal's own Open then says what is wrong.
    if (!*lock)
        return true;
    if (WaitForSingleObject(lock->get(), 0) == WAIT_TIMEOUT) {
        lock->reset();
        return false;
    }
    return true;
}

CJournalFile::CJournalFile(const std::string& folder, const std::string& productKey)
    : m_folder(folder), m_path(folder + "\\" + JOURNAL_FILE_NAME), m_productKey(productKey)
{
}

CJournalFile::~CJournalFile() = default;

CJournalFile::Trust CJournalFile::Trusted(const std::string& path, std::string* reason, DWORD* error) const
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD result = EngineCalls().GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                             &owner, nullptr, &dacl, nullptr, &raw);
    if (result != ERROR_SUCCESS) {
        *error = result;
        *reason = "its access list cannot be read";
        return Trust::Unknown;
    }
    const fw::CLocalMem descriptor(raw);
    // Without the run's own account the verdict cannot be had: our failure,
    // not the file's, so the file stays where it is.
    std::vector<BYTE> user;
    if (!ProcessUser(&user, error)) {
        *reason = "the account of this run cannot be read";
        return Trust::Unknown;
    }
    PSID processUser = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;

    if (owner == nullptr || !IsTrustedSid(owner, processUser)) {
        *reason = "it is owned by someone else";
        return Trust::Untrusted;
    }
    if (dacl == nullptr) {
        *reason = "everyone may change it";
        return Trust::Untrusted;
    }
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (!GetAce(dacl, index, &ace))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        // What only a child inherits says nothing about this object.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & WRITE_RIGHTS) != 0 && !IsTrustedSid(sid, processUser)) {
            *reason = "others than the administrators may change it";
            return Trust::Untrusted;
        }
    }
    return Trust::Trusted;
}

bool CJournalFile::SetAside(const std::string& path)
{
    m_file.reset();
    char suffix[32];
    snprintf(suffix, sizeof suffix, "%s%lu", SET_ASIDE_SUFFIX, GetTickCount());
    const std::string target = path + suffix;
    if (!EngineCalls().MoveFileExA(path.c_str(), target.c_str(), 0)) {
        m_error = GetLastError();
        return false;
    }
    m_setAsidePath = target;
    return true;
}

bool CJournalFile::ReadAll(std::string* bytes, DWORD* error)
{
    EnginePlatformCalls& calls = EngineCalls();
    bytes->clear();
    LARGE_INTEGER start{};
    if (!calls.SetFilePointerEx(m_file.get(), start, nullptr, FILE_BEGIN)) {
        *error = GetLastError();
        return false;
    }
    std::unique_ptr<char[]> chunk(new char[READ_CHUNK]);
    for (;;) {
        DWORD read = 0;
        if (!calls.ReadFile(m_file.get(), chunk.get(), READ_CHUNK, &read, nullptr)) {
            *error = GetLastError();
            return false;
        }
        if (read == 0)
            return true;
        bytes->append(chunk.get(), read);
    }
}

CJournalFile::OpenStatus CJournalFile::Open(const std::string& lockName)
{
    EnginePlatformCalls& calls = EngineCalls();
    // One run of the product at a time, the setup's and the uninstaller's
    // alike. A lock left by a run that was killed is abandoned and taken.
    m_lock.reset(calls.CreateMutexA(nullptr, FALSE, lockName.c_str()));
    if (!m_lock) {
        m_error = GetLastError();
        return OpenStatus::Failed;
    }
    const DWORD waited = WaitForSingleObject(m_lock.get(), 0);
    if (waited == WAIT_TIMEOUT) {
        m_lock.reset();
        return OpenStatus::Busy;
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        m_error = GetLastError();
        m_lock.reset();
        return OpenStatus::Failed;
    }

    if (calls.GetFileAttributesA(m_folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (GoneError(error))
            return OpenStatus::Ready;  // no journal yet: made with the first change
        m_error = error;
        return OpenStatus::Failed;
    }
    DWORD error = ERROR_SUCCESS;
    Trust trust = Trusted(m_folder, &m_reason, &error);
    if (trust == Trust::Unknown) {
        m_error = error;
        return OpenStatus::Failed;
    }
    if (trust == Trust::Untrusted)
        return SetAside(m_folder) ? OpenStatus::SetAside : OpenStatus::Failed;

    m_file.reset(calls.CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!m_file) {
        error = GetLastError();
        if (GoneError(error))
            return OpenStatus::Ready;
        if (error == ERROR_SHARING_VIOLATION)
            return OpenStatus::Busy;
        m_error = error;
        return OpenStatus::Failed;
    }
    trust = Trusted(m_path, &m_reason, &error);
    if (trust == Trust::Unknown) {
        m_error = error;
        m_file.reset();
        return OpenStatus::Failed;
    }
    if (trust == Trust::Untrusted)
        return SetAside(m_path) ? OpenStatus::SetAside : OpenStatus::Failed;

    // A file that cannot be read now says nothing about what is in it: the
    // run changes nothing, and the next one reads it again.
    std::string bytes;
    if (!ReadAll(&bytes, &error)) {
        m_error = error;
        m_file.reset();
        return OpenStatus::Failed;
    }
    const JournalReadResult read = ReadJournalRecords(bytes);
    m_runs = ReadJournalRuns(read);
    if (read.status == JournalReadResult::Damaged || (!read.records.empty() && !m_runs.headerValid) ||
        (m_runs.headerValid && m_runs.productKey != m_productKey)) {
        m_reason = read.status == JournalReadResult::Damaged ? "its records are damaged"
                                                             : "it is not a journal of this product";
        return SetAside(m_path) ? OpenStatus::SetAside : OpenStatus::Failed;
    }
    // A record the kill cut short is not part of the journal.
    m_length = read.validLength;
    m_nextSequence = static_cast<uint32_t>(read.records.size());
    if (read.status == JournalReadResult::TornTail && !TruncateTo(m_length, &error)) {
        m_error = error;
        return OpenStatus::Failed;
    }
    return OpenStatus::Ready;
}

bool CJournalFile::CreateFolderAndFile(DWORD* error)
{
    EnginePlatformCalls& calls = EngineCalls();
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(JOURNAL_FOLDER_ACCESS, SDDL_REVISION_1, &raw,
                                                              nullptr)) {
        *error = GetLastError();
        return false;
    }
    const CSecurityDescriptor descriptor(raw);
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = raw;
    m_madeFolder = false;
    if (calls.CreateDirectoryA(m_folder.c_str(), &attributes)) {
        m_madeFolder = true;
    } else {
        *error = GetLastError();
        if (*error != ERROR_ALREADY_EXISTS)
            return false;
        // Made meanwhile by someone else: trusted only like any other.
        std::string reason;
        if (Trusted(m_folder, &reason, error) != Trust::Trusted) {
            if (*error == ERROR_SUCCESS)
                *error = ERROR_ACCESS_DENIED;
            return false;
        }
    }
    m_file.reset(calls.CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!m_file) {
        *error = GetLastError();
        Unmake();
        return false;
    }
    m_madeFile = true;
    m_length = 0;
    m_nextSequence = 0;
    return true;
}

void CJournalFile::Unmake() noexcept
{
    // A journal that never held a record was never there.
    EnginePlatformCalls& calls = EngineCalls();
    if (m_madeFile) {
        m_file.reset();
        calls.DeleteFileA(m_path.c_str());
        m_madeFile = false;
    }
    if (m_madeFolder) {
        calls.RemoveDirectoryA(m_folder.c_str());
        m_madeFolder = false;
    }
}

bool CJournalFile::Append(const JournalRecord& record, DWORD* error)
{
    if (!m_file && !CreateFolderAndFile(error))
        return false;
    // A file whose header a kill cut short starts again with the header.
    if (m_nextSequence == 0 && !AppendRaw(JournalRecord::MakeHeader(m_productKey), error)) {
        if (m_length == 0)
            Unmake();
        return false;
    }
    if (!AppendRaw(record, error)) {
        // The run's first record never got out: the journal it made goes.
        if (m_nextSequence <= 1)
            Unmake();
        return false;
    }
    m_madeFile = false;
    m_madeFolder = false;
    return true;
}

bool CJournalFile::AppendRaw(const JournalRecord& record, DWORD* error)
{
    EnginePlatformCalls& calls = EngineCalls();
    const std::string bytes = EncodeRecord(m_nextSequence, record);
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(m_length);
    DWORD written = 0;
    if (calls.SetFilePointerEx(m_file.get(), end, nullptr, FILE_BEGIN) &&
        calls.WriteFile(m_file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size() && calls.FlushFileBuffers(m_file.get())) {
        m_length += bytes.size();
        ++m_nextSequence;
        return true;
    }
    *error = GetLastError();
    if (*error == ERROR_SUCCESS)
        *error = ERROR_WRITE_FAULT;
    // A part that did get out must not stay: the next record would follow
    // a damaged one.
    DWORD ignored = 0;
    TruncateTo(m_length, &ignored);
    return false;
}

bool CJournalFile::TruncateTo(uint64_t length, DWORD* error)
{
    EnginePlatformCalls& calls = EngineCalls();
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(length);
    if (!m_file || !calls.SetFilePointerEx(m_file.get(), at, nullptr, FILE_BEGIN) ||
        !calls.SetEndOfFile(m_file.get()) || !calls.FlushFileBuffers(m_file.get())) {
        *error = GetLastError();
        return false;
    }
    // What is left is whole records, counted again from the start.
    if (length < m_length) {
        std::string bytes;
        if (!ReadAll(&bytes, error))
            return false;
        m_nextSequence = static_cast<uint32_t>(ReadJournalRecords(bytes).records.size());
    }
    m_length = length;
    return true;
}

bool CJournalFile::Remove(DWORD* error)
{
    EnginePlatformCalls& calls = EngineCalls();
    m_file.reset();
    if (!calls.DeleteFileA(m_path.c_str()) && !GoneError(GetLastError())) {
        *error = GetLastError();
        return false;
    }
    m_length = 0;
    m_nextSequence = 0;
    if (!calls.RemoveDirectoryA(m_folder.c_str())) {
        const DWORD failure = GetLastError();
        if (failure != ERROR_DIR_NOT_EMPTY && !GoneError(failure)) {
            *error = failure;
            return false;
        }
    }
    return true;
}
