// Placeholder until the package reader lands: every load reports a damaged package.
#include "package/PackedTools.h"

class CPackageTable {};

CPackedTools::CPackedTools() = default;
CPackedTools::~CPackedTools() = default;

bool CPackedTools::LoadPackage()
{
    m_status = PACKAGE_DAMAGED;
    return false;
}

bool CPackedTools::FindEntry(const std::string&, const uint8_t**, int32_t*) const
{
    return false;
}
