#include "package/PackedTools.h"

#include "framework/Handles.h"
#include "package/PackageTable.h"

#include <windows.h>

#include <new>

namespace {

constexpr DWORD MODULE_PATH_SIZE = 260;

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
    SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);

    std::unique_ptr<uint8_t[]> contents(new (std::nothrow) uint8_t[size ? size : 1]);
    if (!contents) {
        m_status = PACKAGE_NO_MEMORY;
        m_table->Clear();
        return false;
    }
    DWORD read = 0;
    if (!ReadFile(file.get(), contents.get(), size, &read, nullptr) || read < size) {
        m_status = PACKAGE_NOT_READ;
        m_table->Clear();
        return false;
    }

    m_status = m_table->Load(contents.get(), size, m_workBuffer.get(), m_workBufferSize);
    return m_status == PACKAGE_OK;
}

bool CPackedTools::FindEntry(const std::string& name, const uint8_t** data, int32_t* size) const
{
    return m_table->Find(name, data, size);
}
