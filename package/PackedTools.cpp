#include "package/PackedTools.h"

#include "framework/Handles.h"
#include "package/PackageSource.h"
#include "package/PackageTable.h"

#include <windows.h>

#include <new>

namespace {

constexpr DWORD MODULE_PATH_SIZE = 260;
constexpr size_t MAX_READ_SIZE = 1024 * 1024 * 1024;

unsigned Processors()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1;
}

}  // namespace

CPackedTools::CPackedTools() : m_table(std::make_unique<CPackageTable>())
{
    m_workBuffer.reset(new (std::nothrow) uint8_t[PACKAGE_WINDOW_SIZE]);
    if (m_workBuffer) {
        m_workBufferSize = PACKAGE_WINDOW_SIZE;
    } else {
        m_workBufferSize = 0;
        m_status = PACKAGE_NO_MEMORY;
    }
}

CPackedTools::~CPackedTools() = default;

bool CPackedTools::LoadPackage()
{
    m_status = PACKAGE_NOT_READ;

    char path[MODULE_PATH_SIZE];
    const DWORD length = GetModuleFileNameA(nullptr, path, MODULE_PATH_SIZE);
    // A full buffer means a cut-off path: the file it names is not ours.
    if (length == 0 || length >= MODULE_PATH_SIZE) {
        m_table->Clear();
        return false;
    }

    fw::CFileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        m_table->Clear();
        return false;
    }

    m_status = PACKAGE_OK;
    const DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        m_status = PACKAGE_NOT_READ;
        m_table->Clear();
        return false;
    }

    // The file is read where the reader needs it, by several workers at
    // once, each read at its own offset: never the whole file in memory.
    const HANDLE handle = file.get();
    const CPackageSource source(size, [handle](uint64_t offset, uint8_t* buffer, size_t count) {
        while (count) {
            const DWORD chunk = static_cast<DWORD>(count < MAX_READ_SIZE ? count : MAX_READ_SIZE);
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD read = 0;
            if (!ReadFile(handle, buffer, chunk, &read, &at) || read != chunk)
                return false;
            buffer += chunk;
            offset += chunk;
            count -= chunk;
        }
        return true;
    });
    m_status = m_table->Load(source, m_workBuffer.get(), m_workBufferSize, Processors());
    return m_status == PACKAGE_OK;
}

bool CPackedTools::FindEntry(const std::string& name, const uint8_t** data, int32_t* size) const
{
    return m_table->Find(name, data, size);
}
