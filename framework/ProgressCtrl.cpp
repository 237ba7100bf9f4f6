#include "framework/ProgressCtrl.h"

#include <commctrl.h>

namespace fw {

CProgressCtrl::~CProgressCtrl() = default;

void CProgressCtrl::SetRange(int lower, int upper) const
{
    SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

int CProgressCtrl::SetPos(int position) const
{
    return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(position), 0));
}

int CProgressCtrl::GetPos() const
{
    return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0));
}

}  // namespace fw
