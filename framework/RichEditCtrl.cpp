#include "framework/RichEditCtrl.h"

namespace fw {

CRichEditCtrl::~CRichEditCtrl() = default;

long CRichEditCtrl::StreamIn(int format, EDITSTREAM& stream) const
{
    return static_cast<long>(
        SendMessage(EM_STREAMIN, static_cast<WPARAM>(format), reinterpret_cast<LPARAM>(&stream)));
}

bool CRichEditCtrl::SetTargetDevice(HDC device, long lineWidth) const
{
    return SendMessage(EM_SETTARGETDEVICE, reinterpret_cast<WPARAM>(device), lineWidth) != 0;
}

bool CRichEditCtrl::IsReadOnly() const
{
    return (SendMessage(EM_GETOPTIONS, 0, 0) & ECO_READONLY) != 0;
}

}  // namespace fw
